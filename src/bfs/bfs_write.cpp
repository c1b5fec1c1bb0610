#include "src/bfs/bfs_write.h"

#include <zlib.h>

#include <cstring>

#include <algorithm>
#include <numeric>
#include <set>

#include "src/bfs/bfs.h"

namespace {

void put_u32(std::vector<unsigned char>& v, size_t at, uint32_t x) {
    v[at] = x & 0xFF;
    v[at + 1] = (x >> 8) & 0xFF;
    v[at + 2] = (x >> 16) & 0xFF;
    v[at + 3] = (x >> 24) & 0xFF;
}

void put_u16(std::vector<unsigned char>& v, size_t at, uint16_t x) {
    v[at] = x & 0xFF;
    v[at + 1] = (x >> 8) & 0xFF;
}

void pad4(std::vector<unsigned char>& v) {
    while (v.size() % 4) v.push_back('#');
}

size_t record_length(size_t name_length) { return ((2 + name_length + 3) & ~size_t(3)) + 4; }

}  // namespace

uint32_t bfs_bucket_count(size_t n) {
    uint32_t b = 1;
    while (b < n) b <<= 1;
    return b;
}

bool bfs_write_archive(const std::vector<BfsWriteEntry>& entries, const BfsWriteOptions& options,
                       std::vector<unsigned char>* out, std::vector<BfsWrittenEntry>* written, std::string* error) {
    std::set<std::string> seen;
    for (const auto& e : entries) {
        if (e.name.size() > 0xFFFF) {
            *error = "entry name longer than 65535 bytes: " + e.name.substr(0, 40) + "...";
            return false;
        }
        if (!seen.insert(e.name).second) {
            *error = "duplicate entry name: " + e.name;
            return false;
        }
        if (e.data.size() > 0xFFFFFFF0u) {
            *error = "entry too large: " + e.name;
            return false;
        }
    }

    // Directory order: ascending bucket, input order within a bucket.
    uint32_t buckets = bfs_bucket_count(entries.size());
    std::vector<uint32_t> bucket_of(entries.size(), 0);
    std::vector<size_t> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    if (options.hash_index) {
        for (size_t i = 0; i < entries.size(); i++) {
            const auto* n = reinterpret_cast<const unsigned char*>(entries[i].name.data());
            bucket_of[i] = bfs_bucket(bfs_hash(n, entries[i].name.size()), buckets - 1);
        }
        std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return bucket_of[a] < bucket_of[b]; });
    }

    std::vector<unsigned char>& img = *out;
    img.assign(BFS_HEADER_SIZE, 0);
    std::vector<size_t> record_at(entries.size());
    for (size_t k = 0; k < order.size(); k++) {
        const auto& e = entries[order[k]];
        size_t at = img.size();
        record_at[k] = at;
        img.resize(at + record_length(e.name.size()), '#');
        put_u16(img, at, static_cast<uint16_t>(e.name.size()));
        for (size_t i = 0; i < e.name.size(); i++) {
            auto b = static_cast<unsigned char>(e.name[i]);
            img[at + 2 + i] = options.scramble_names ? b ^ BFS_SCRAMBLE_KEY : b;
        }
    }
    size_t hash_offset = img.size();
    if (options.hash_index) {
        img.resize(hash_offset + size_t(buckets) * 8, 0);
        for (size_t k = 0; k < order.size(); k++) {
            size_t slot = hash_offset + size_t(bucket_of[order[k]]) * 8;
            if (bfs_u32(&img[slot + 4]) == 0) put_u32(img, slot, static_cast<uint32_t>(record_at[k]));
            put_u32(img, slot + 4, bfs_u32(&img[slot + 4]) + 1);
        }
    }

    if (written) written->clear();
    for (size_t k = 0; k < order.size(); k++) {
        const auto& e = entries[order[k]];
        pad4(img);
        size_t block = img.size();
        if (block > 0xFFFFFFF0u) {
            *error = "archive larger than 4 GiB";
            return false;
        }
        put_u32(img, record_at[k] + record_length(e.name.size()) - 4, static_cast<uint32_t>(block));
        std::vector<unsigned char> plain = e.data;
        if (options.scramble_contents)
            for (auto& b : plain) b ^= BFS_SCRAMBLE_KEY;
        bool compressed = options.compress && !e.store_plain && plain.size() > options.compress_above;
        std::vector<unsigned char> stored;
        if (compressed) {
            uLongf n = compressBound(plain.size());
            stored.resize(n);
            if (compress(stored.data(), &n, plain.data(), plain.size()) != Z_OK) {
                *error = "compression failed for " + e.name;
                return false;
            }
            stored.resize(n);
        } else {
            stored = std::move(plain);
        }
        img.resize(block + BFS_BLOCK_HEAD_SIZE);
        put_u32(img, block, static_cast<uint32_t>(e.data.size()));
        put_u32(img, block + 4, static_cast<uint32_t>(stored.size()));
        put_u32(img, block + 8, (compressed ? BFS_ENTRY_COMPRESSED : 0) | (options.scramble_contents ? BFS_ENTRY_SCRAMBLED : 0));
        img.insert(img.end(), stored.begin(), stored.end());
        if (written) written->push_back({e.name, static_cast<uint32_t>(e.data.size()), static_cast<uint32_t>(stored.size()), compressed});
    }
    pad4(img);
    if (img.size() > 0xFFFFFFF0u) {
        *error = "archive larger than 4 GiB";
        return false;
    }

    memcpy(img.data(), BFS_MAGIC, 4);
    put_u32(img, 4, 1);
    put_u32(img, 8, static_cast<uint32_t>(img.size()));
    put_u32(img, 12, static_cast<uint32_t>(entries.size()));
    put_u32(img, 16, (options.scramble_names ? BFS_FLAG_SCRAMBLED_NAMES : 0) | (options.hash_index ? BFS_FLAG_HASH_INDEX : 0));
    put_u16(img, 20, static_cast<uint16_t>(BFS_HEADER_SIZE));
    put_u16(img, 22, 3);
    put_u32(img, 24, options.hash_index ? static_cast<uint32_t>(hash_offset) : 0);
    put_u32(img, 28, options.hash_index ? buckets - 1 : 0);
    unsigned char trailer[BFS_TRAILER_SIZE];
    memcpy(trailer, img.data(), sizeof trailer);
    img.insert(img.end(), trailer, trailer + sizeof trailer);
    return true;
}
