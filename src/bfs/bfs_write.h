// Writer of the bound file system format, used by the packer and by tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BfsWriteEntry {
    std::string name;
    std::vector<unsigned char> data;
    // Stored as it is even when long: for entries that are read on a path
    // where inflating would cost more than the space saved.
    bool store_plain = false;
};

struct BfsWriteOptions {
    bool hash_index = true;        // header flag 0x4 and the bucket table
    bool scramble_names = true;    // header flag 0x2
    bool scramble_contents = true; // entry flag 0x2 on every entry
    bool compress = true;          // compress contents longer than compress_above
    uint32_t compress_above = 515;
};

// Per-entry facts of a written archive, in directory order.
struct BfsWrittenEntry {
    std::string name;
    uint32_t size;
    uint32_t stored;
    bool compressed;
};

// Builds the archive image followed by its 12-byte trailer. Returns false
// with a message in *error for duplicate names, names longer than 65535 bytes
// or an archive that would not fit 32-bit offsets.
bool bfs_write_archive(const std::vector<BfsWriteEntry>& entries, const BfsWriteOptions& options,
                       std::vector<unsigned char>* out, std::vector<BfsWrittenEntry>* written, std::string* error);

// Number of hash buckets for n entries: the smallest power of two >= n (at least 1).
uint32_t bfs_bucket_count(size_t n);
