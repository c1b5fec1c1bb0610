// Writer of the bound file system: the bytes it lays out, checked field by
// field, and round trips through the reader.
#include <gtest/gtest.h>
#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "src/bfs/bfs.h"
#include "src/bfs/bfs_write.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const std::string& s) { return Bytes(s.begin(), s.end()); }
uint32_t u32(const Bytes& v, size_t at) { return bfs_u32(&v[at]); }
uint16_t u16(const Bytes& v, size_t at) { return bfs_u16(&v[at]); }

uint32_t ref_bucket(const std::string& name, uint32_t mask) {
    uint32_t h = 0;
    for (char ch : name) h = h * 33u + static_cast<uint32_t>(static_cast<int>(static_cast<signed char>(ch)));
    return (h + (h >> 5)) & mask;
}

Bytes write_ok(const std::vector<BfsWriteEntry>& entries, const BfsWriteOptions& o = {},
               std::vector<BfsWrittenEntry>* written = nullptr) {
    Bytes out;
    std::string error;
    EXPECT_TRUE(bfs_write_archive(entries, o, &out, written, &error)) << error;
    return out;
}

// One directory record as it lies in the image.
struct Record {
    uint32_t offset;
    uint32_t length;
    std::string name;  // plain
    uint32_t block;
};

std::vector<Record> parse_directory(const Bytes& img) {
    std::vector<Record> out;
    bool scrambled = u32(img, 16) & BFS_FLAG_SCRAMBLED_NAMES;
    uint32_t at = u16(img, 20);
    for (uint32_t i = 0; i < u32(img, 12); i++) {
        uint16_t n = u16(img, at);
        std::string name;
        for (uint16_t k = 0; k < n; k++) name += static_cast<char>(img[at + 2 + k] ^ (scrambled ? BFS_SCRAMBLE_KEY : 0));
        uint32_t t = (n + 2 + 3u) & ~3u;
        out.push_back({at, t + 4, name, u32(img, at + t)});
        at += t + 4;
    }
    return out;
}

// Entries with random names (any byte value, high bytes included) and
// contents that range from empty and random to long and compressible.
std::vector<BfsWriteEntry> random_entries(std::mt19937& rng, size_t count) {
    std::vector<BfsWriteEntry> out;
    std::set<std::string> names;
    std::uniform_int_distribution<int> byte(0, 255), name_len(1, 60), kind(0, 3);
    while (out.size() < count) {
        std::string name;
        int n = name_len(rng);
        for (int i = 0; i < n; i++) name += static_cast<char>(byte(rng));
        if (!names.insert(name).second) continue;
        Bytes data;
        switch (kind(rng)) {
            case 0: break;
            case 1:
                for (int i = std::uniform_int_distribution<int>(1, 700)(rng); i > 0; i--) data.push_back(byte(rng));
                break;
            case 2: {
                std::string line = "sub f" + std::to_string(out.size()) + " { return 1; }\n";
                for (int i = std::uniform_int_distribution<int>(1, 300)(rng); i > 0; i--) data.insert(data.end(), line.begin(), line.end());
                break;
            }
            default: data.assign(std::uniform_int_distribution<size_t>(500, 530)(rng), static_cast<unsigned char>(byte(rng)));
        }
        out.push_back({name, data});
    }
    return out;
}

}  // namespace

TEST(BfsWriter, RoundTripsWithEveryOptionCombination) {
    std::mt19937 rng(20240601);
    for (bool index : {true, false}) {
        for (bool scramble : {true, false}) {
            SCOPED_TRACE(testing::Message() << "index=" << index << " scramble=" << scramble);
            auto entries = random_entries(rng, 300);
            BfsWriteOptions o;
            o.hash_index = index;
            o.scramble_names = o.scramble_contents = scramble;
            Bytes img = write_ok(entries, o);
            BfsArchive a = bfs_describe(img.data(), img.size());
            ASSERT_TRUE(bfs_valid(&a));
            EXPECT_EQ(u32(img, 16), (index ? 0x4u : 0u) | (scramble ? 0x2u : 0u));
            for (const auto& e : entries) {
                bfs_cursor c;
                ASSERT_EQ(bfs_lookup(&a, e.name.data(), e.name.size(), &c), 1);
                ASSERT_EQ(bfs_size(&c), e.data.size());
                Bytes buf(e.data.size() + 1);
                ASSERT_EQ(bfs_read(&c, buf.data()), buf.data());
                buf.pop_back();
                ASSERT_EQ(buf, e.data);
                EXPECT_EQ(!!(bfs_entry_flags(&c) & BFS_ENTRY_SCRAMBLED), scramble);
                // A near miss of each name is absent.
                std::string miss = e.name;
                miss.back() ^= 0x20;
                bool exists = std::any_of(entries.begin(), entries.end(), [&](const BfsWriteEntry& x) { return x.name == miss; });
                EXPECT_EQ(bfs_lookup(&a, miss.data(), miss.size(), nullptr), exists ? 1 : 0);
            }
            // The directory walk sees each name once.
            std::set<std::string> walked;
            for (const auto& r : parse_directory(img)) walked.insert(r.name);
            EXPECT_EQ(walked.size(), entries.size());
        }
    }
}

TEST(BfsWriter, HeaderAndTrailer) {
    Bytes img = write_ok({{"abc", bytes_of("x")}, {"*CLEAN", {}}});
    ASSERT_GE(img.size(), BFS_HEADER_SIZE + BFS_TRAILER_SIZE);
    EXPECT_EQ(memcmp(img.data(), BFS_MAGIC, 4), 0);
    EXPECT_EQ(u32(img, 4), 1u);
    EXPECT_EQ(u32(img, 8), img.size() - BFS_TRAILER_SIZE);
    EXPECT_EQ(u32(img, 8) % 4, 0u);
    EXPECT_EQ(u32(img, 12), 2u);
    EXPECT_EQ(u32(img, 16), 0x6u);
    EXPECT_EQ(u16(img, 20), 32u);
    EXPECT_EQ(u16(img, 22), 3u);
    EXPECT_EQ(Bytes(img.end() - 12, img.end()), Bytes(img.begin(), img.begin() + 12));
    // Names are scrambled by default and stored plain when asked.
    auto dir = parse_directory(img);
    std::set<std::string> names;
    for (const auto& r : dir) names.insert(r.name);
    EXPECT_EQ(names, (std::set<std::string>{"abc", "*CLEAN"}));
    EXPECT_EQ(std::search(img.begin(), img.end(), std::begin("*CLEAN"), std::end("*CLEAN") - 1), img.end());
    BfsWriteOptions plain;
    plain.scramble_names = plain.scramble_contents = false;
    Bytes p = write_ok({{"*CLEAN", {}}}, plain);
    EXPECT_EQ(u32(p, 16), 0x4u);
    EXPECT_EQ(std::string(p.begin() + 34, p.begin() + 40), "*CLEAN");
}

TEST(BfsWriter, RecordLengthsAndFill) {
    const std::string n5 = "ABCDE", n6 = "ABCDEF", n7 = "ABCDEFG", n42(42, 'n');
    BfsWriteOptions o;
    o.hash_index = false;  // input order is directory order
    Bytes img = write_ok({{n6, bytes_of("6")}, {n7, bytes_of("7")}, {n42, bytes_of("42")}, {n5, bytes_of("5")}}, o);
    auto dir = parse_directory(img);
    ASSERT_EQ(dir.size(), 4u);
    EXPECT_EQ(dir[0].offset, 32u);
    EXPECT_EQ(dir[0].length, 12u);  // 2 + 6 is aligned: no fill
    EXPECT_EQ(dir[1].length, 16u);
    EXPECT_EQ(dir[2].length, 48u);
    EXPECT_EQ(dir[3].length, 12u);
    // The 7-byte name is followed by three fill bytes, the 5-byte one by one.
    EXPECT_EQ(std::string(img.begin() + dir[1].offset + 9, img.begin() + dir[1].offset + 12), "###");
    EXPECT_EQ(img[dir[3].offset + 7], '#');
    // Blocks follow the directory in its order, each on a four-byte boundary,
    // with '#' between them.
    uint32_t expect_at = dir.back().offset + dir.back().length;
    for (const auto& r : dir) {
        EXPECT_EQ(r.block % 4, 0u);
        EXPECT_GE(r.block, expect_at);
        for (uint32_t k = expect_at; k < r.block; k++) EXPECT_EQ(img[k], '#');
        expect_at = r.block + BFS_BLOCK_HEAD_SIZE + u32(img, r.block + 4);
    }
}

TEST(BfsWriter, BucketsPartitionTheDirectory) {
    const std::map<size_t, uint32_t> buckets_for = {{0, 1}, {1, 1}, {2, 2}, {31, 32}, {32, 32}, {33, 64}, {1000, 1024}};
    for (const auto& [count, buckets] : buckets_for) {
        SCOPED_TRACE(count);
        std::vector<BfsWriteEntry> entries;
        for (size_t i = 0; i < count; i++)
            entries.push_back({(i % 3 ? "lib/M" : "\xC3\xA9/") + std::to_string(i) + ".pm", bytes_of(std::to_string(i))});
        Bytes img = write_ok(entries);
        EXPECT_EQ(bfs_bucket_count(count), buckets);
        ASSERT_EQ(u32(img, 28), buckets - 1);
        auto dir = parse_directory(img);
        uint32_t hash_at = u32(img, 24);
        EXPECT_EQ(hash_at, count ? dir.back().offset + dir.back().length : 32u);
        // Walking the non-empty buckets in ascending order visits the
        // directory from its start, record after record, each in its bucket.
        size_t next = 0;
        for (uint32_t b = 0; b < buckets; b++) {
            uint32_t first = u32(img, hash_at + b * 8), n = u32(img, hash_at + b * 8 + 4);
            if (n == 0) {
                EXPECT_EQ(first, 0u) << b;
                continue;
            }
            ASSERT_LT(next, dir.size());
            EXPECT_EQ(first, dir[next].offset) << b;
            for (uint32_t k = 0; k < n; k++, next++) {
                ASSERT_LT(next, dir.size());
                EXPECT_EQ(ref_bucket(dir[next].name, buckets - 1), b) << dir[next].name;
            }
        }
        EXPECT_EQ(next, count);
        // Blocks come after the hash index.
        if (count) {
            EXPECT_GE(dir.front().block, hash_at + buckets * 8);
        }
    }
}

TEST(BfsWriter, CompressionThresholdAndStreamForm) {
    std::vector<BfsWrittenEntry> written;
    const Bytes at_limit(515, 'a'), above(516, 'a'), empty;
    Bytes img = write_ok({{"at", at_limit}, {"above", above}, {"empty", empty}}, {}, &written);
    ASSERT_EQ(written.size(), 3u);
    std::map<std::string, uint32_t> block;
    for (const auto& r : parse_directory(img)) block[r.name] = r.block;
    auto flags = [&](const char* n) { return u32(img, block[n] + 8); };
    auto stored = [&](const char* n) { return u32(img, block[n] + 4); };
    EXPECT_EQ(flags("at"), BFS_ENTRY_SCRAMBLED);
    EXPECT_EQ(stored("at"), 515u);
    EXPECT_EQ(flags("empty"), BFS_ENTRY_SCRAMBLED);
    EXPECT_EQ(stored("empty"), 0u);
    EXPECT_EQ(flags("above"), BFS_ENTRY_SCRAMBLED | BFS_ENTRY_COMPRESSED);
    EXPECT_EQ(u32(img, block["above"]), 516u);
    const unsigned char* data = &img[block["above"] + 12];
    EXPECT_EQ(data[0], 0x78);
    EXPECT_EQ(data[1], 0x9C);
    // Contents are scrambled before compression: inflating gives the
    // scrambled bytes.
    Bytes out(516);
    uLongf n = out.size();
    ASSERT_EQ(uncompress(out.data(), &n, data, stored("above")), Z_OK);
    ASSERT_EQ(n, 516u);
    for (auto b : out) ASSERT_EQ(b, 'a' ^ BFS_SCRAMBLE_KEY);
    // Stored contents of a small entry are scrambled in place.
    EXPECT_EQ(img[block["at"] + 12], 'a' ^ BFS_SCRAMBLE_KEY);

    // A long entry marked to be stored plain is not compressed, and reads back.
    BfsWriteEntry plain{"plain", Bytes(5000, 'p')};
    plain.store_plain = true;
    Bytes img2 = write_ok({plain}, {}, &written);
    uint32_t b = parse_directory(img2)[0].block;
    EXPECT_EQ(u32(img2, b + 4), 5000u);
    EXPECT_EQ(u32(img2, b + 8), BFS_ENTRY_SCRAMBLED);
    BfsArchive a = bfs_describe(img2.data(), img2.size());
    char* back = bfs_extract(&a, "plain", "plain");
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::string(back), std::string(5000, 'p'));
    free(back);
}

TEST(BfsWriter, RejectsWhatTheFormatCannotHold) {
    Bytes out;
    std::string error;
    EXPECT_FALSE(bfs_write_archive({{"a", {}}, {"b", {}}, {"a", bytes_of("again")}}, {}, &out, nullptr, &error));
    EXPECT_NE(error.find("duplicate"), std::string::npos) << error;
    error.clear();
    EXPECT_FALSE(bfs_write_archive({{std::string(65536, 'n'), {}}}, {}, &out, nullptr, &error));
    EXPECT_FALSE(error.empty());
    // Names that differ only in case are different names.
    EXPECT_TRUE(bfs_write_archive({{"a", {}}, {"A", {}}}, {}, &out, nullptr, &error)) << error;
    Bytes longest = write_ok({{std::string(65535, 'n'), bytes_of("ok")}});
    BfsArchive a = bfs_describe(longest.data(), longest.size());
    std::string name(65535, 'n');
    EXPECT_EQ(bfs_lookup(&a, name.data(), name.size(), nullptr), 1);
}
