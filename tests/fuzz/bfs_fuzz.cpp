// Fuzzer for the archive reader: the input is taken as an archive image and
// every read operation is run on it. Besides the sanitizers' findings it
// traps when the reader contradicts itself: a found record that does not
// carry the name asked for, or a directory record that a linear lookup does
// not reach.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "src/bfs/bfs.h"

namespace {

// Entries larger than this are not read, and one input reads at most
// kReadBudget bytes in all, so that a small input cannot spend seconds
// inflating.
constexpr uint32_t kMaxEntry = 4u << 20;
constexpr uint64_t kReadBudget = 16u << 20;
constexpr int kMaxWalk = 4096;
constexpr int kMaxWalkLookups = 64;

const char* const kNames[] = {
    "*",        "*CLEAN",     "*TAINT", "*PERLDLL", "*DEBUG", "*SCRIPTNAME", "*SETUP", "*TMPDIR",
    "perl.md5", "perl58.dll", "abc",    "",         "main.pl", "lib/\xE9t\xE9.pm", "ABCDEF", "ABCDEFG",
};

unsigned char name_buffer[65536];

struct Run {
    const BfsArchive* archive;
    uint64_t budget = kReadBudget;

    void read(const bfs_cursor& c) {
        uint32_t size = bfs_size(&c);
        if (!bfs_entry_plausible(&c)) {
            // Stored bytes outside the image, or a size they cannot yield:
            // the read must fail before writing anything. Only an uncompressed
            // entry can be tried with a buffer that is too small, as zlib
            // writes its output before the length is compared.
            if (bfs_entry_flags(&c) & BFS_ENTRY_COMPRESSED) return;
            unsigned char* one = static_cast<unsigned char*>(malloc(1));
            if (bfs_read(&c, one)) __builtin_trap();
            free(one);
            return;
        }
        if (size > kMaxEntry || size > budget) return;
        budget -= size;
        // Exactly the entry's size: writing past it is a finding.
        auto* buffer = static_cast<unsigned char*>(malloc(size ? size : 1));
        bfs_read(&c, buffer);
        free(buffer);
    }

    void lookup(const unsigned char* name, size_t length) {
        bfs_cursor c;
        int found = bfs_lookup(archive, reinterpret_cast<const char*>(name), length, &c);
        if (bfs_lookup(archive, reinterpret_cast<const char*>(name), length, nullptr) != found) __builtin_trap();
        if (!found) return;
        if (c.name_length != length || !bfs_cursor_name_equals(&c, name, length)) __builtin_trap();
        read(c);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input's length, so that reads past it are seen.
    auto* image = static_cast<unsigned char*>(malloc(size ? size : 1));
    if (size) memcpy(image, data, size);
    const BfsArchive archive = bfs_describe(image, size);
    Run run{&archive};
    bfs_valid(&archive);

    for (const char* name : kNames) run.lookup(reinterpret_cast<const unsigned char*>(name), strlen(name));

    // Names taken from the input: the bytes where the first record's name
    // would be, as stored and unscrambled, and the input's last bytes.
    if (size >= 34) {
        size_t n = bfs_u16(data + 32);
        if (n > size - 34) n = size - 34;
        run.lookup(data + 34, n);
        for (size_t i = 0; i < n; i++) name_buffer[i] = data[34 + i] ^ BFS_SCRAMBLE_KEY;
        run.lookup(name_buffer, n);
    }
    run.lookup(data + (size > 12 ? size - 12 : 0), size > 12 ? 12 : size);

    // The whole directory, record by record. A linear lookup starts where the
    // walk starts, so it must find every name the walk reads; so must the
    // hash index of an archive that passes the start's layout check.
    bool intact = bfs_intact(&archive);
    bool linear = archive.limit >= BFS_HEADER_SIZE && !(bfs_u32(image + 16) & BFS_FLAG_HASH_INDEX);
    bfs_cursor c;
    int steps = 0;
    for (bfs_cursor_start_all(&c, &archive); bfs_cursor_valid(&c) && steps < kMaxWalk; bfs_cursor_next(&c), steps++) {
        if (!c.entry_block) __builtin_trap();
        run.read(c);
        if (steps >= kMaxWalkLookups) continue;
        bfs_cursor_name(&c, name_buffer);
        bfs_cursor f;
        int found = bfs_lookup(&archive, reinterpret_cast<const char*>(name_buffer), c.name_length, &f);
        if ((linear || intact) && !found) __builtin_trap();
        if (intact && !bfs_entry_plausible(&c)) __builtin_trap();
        if (found) run.read(f);
    }

    free(image);
    return 0;
}
