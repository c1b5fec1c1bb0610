// Archive reader benchmarks, each against a baseline measured in the same run:
//  - lookup cost in archives of 100, 1000 and 10000 entries, with and without
//    the hash index; with the index the cost should stay nearly flat (goal:
//    10000 entries within 2x of 100 entries);
//  - reading a large compressed entry with bfs_read against zlib's own
//    uncompress of the same stream (goal: within 1.1x).
#include <stdio.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "src/bfs/bfs.h"
#include "src/bfs/bfs_write.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::vector<unsigned char> write_archive(const std::vector<BfsWriteEntry>& entries, bool index) {
    BfsWriteOptions o;
    o.hash_index = index;
    std::vector<unsigned char> image;
    std::string error;
    if (!bfs_write_archive(entries, o, &image, nullptr, &error)) {
        fprintf(stderr, "bench_bfs: %s\n", error.c_str());
        exit(1);
    }
    return image;
}

// Module-like names of varying length, as a packed script's archive holds.
std::vector<std::string> module_names(size_t n) {
    static const char* const parts[] = {"Foo", "Bar", "Text", "Data", "Dumper", "Scalar", "Util", "List",
                                        "File", "Path", "Unix", "Win32", "Encode", "Time", "Local", "HTTP"};
    std::vector<std::string> names;
    for (size_t i = 0; i < n; i++) {
        std::string name = "lib/";
        for (size_t k = i, depth = 0; depth < 1 + i % 3; depth++, k /= 16) name += std::string(parts[k % 16]) + "/";
        names.push_back(name + "M" + std::to_string(i) + ".pm");
    }
    return names;
}

// Nanoseconds per lookup, best of three timed rounds of at least 0.2 s each.
// The names are packed back to back in lookup order, so that the loop's own
// memory traffic stays small next to the reader's.
double lookup_ns(const BfsArchive* archive, std::vector<std::string> names) {
    std::mt19937 rng(7);
    std::shuffle(names.begin(), names.end(), rng);
    std::string packed;
    std::vector<std::pair<size_t, size_t>> keys;
    for (const auto& n : names) {
        keys.emplace_back(packed.size(), n.size());
        packed += n;
    }
    double best = 1e30;
    for (int round = 0; round < 3; round++) {
        size_t done = 0, hits = 0;
        auto start = Clock::now();
        double elapsed = 0;
        do {
            for (const auto& [at, length] : keys) hits += bfs_lookup(archive, packed.data() + at, length, nullptr);
            done += keys.size();
            elapsed = seconds_since(start);
        } while (elapsed < 0.2);
        if (hits != done) {
            fprintf(stderr, "bench_bfs: %zu of %zu lookups failed\n", done - hits, done);
            exit(1);
        }
        best = std::min(best, elapsed * 1e9 / static_cast<double>(done));
    }
    return best;
}

// Text that compresses about as well as Perl source does.
std::vector<unsigned char> compressible_text(size_t size) {
    static const char* const words[] = {"my", "$self", "=", "shift;", "return", "if", "defined", "$args{",
                                        "}", "->new(", ");", "foreach", "(@list)", "{", "print", "\"done\\n\";"};
    std::mt19937 rng(11);
    std::vector<unsigned char> text;
    text.reserve(size + 64);
    while (text.size() < size) {
        std::string line(static_cast<size_t>(rng() % 8) * 2, ' ');
        for (int w = 1 + static_cast<int>(rng() % 8); w > 0; w--) line += std::string(words[rng() % 16]) + " ";
        line += "# " + std::to_string(rng() % 100000) + "\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    text.resize(size);
    return text;
}

}  // namespace

int main() {
    printf("Lookup cost, ns per lookup of a present name (random order, best of 3)\n");
    printf("%10s %12s %12s\n", "entries", "indexed", "linear");
    double indexed_100 = 0, indexed_10000 = 0;
    for (size_t n : {100, 1000, 10000}) {
        auto names = module_names(n);
        std::vector<BfsWriteEntry> entries;
        for (const auto& name : names) entries.push_back({name, {'1', ';', '\n'}});
        double ns[2];
        for (int index = 1; index >= 0; index--) {
            auto image = write_archive(entries, index);
            BfsArchive a = bfs_describe(image.data(), image.size());
            ns[index] = lookup_ns(&a, names);
        }
        printf("%10zu %12.1f %12.1f\n", n, ns[1], ns[0]);
        if (n == 100) indexed_100 = ns[1];
        if (n == 10000) indexed_10000 = ns[1];
    }
    double lookup_ratio = indexed_10000 / indexed_100;
    printf("indexed lookup, 10000 / 100 entries: %.2fx (goal: at most 2x) %s\n\n", lookup_ratio,
           lookup_ratio <= 2.0 ? "ok" : "SLOW");

    const size_t size = 32u << 20;
    auto text = compressible_text(size);
    auto image = write_archive({{"perl58.dll", text}}, true);
    BfsArchive a = bfs_describe(image.data(), image.size());
    bfs_cursor c;
    if (!bfs_lookup(&a, "perl58.dll", 10, &c) || !(bfs_entry_flags(&c) & BFS_ENTRY_COMPRESSED)) {
        fprintf(stderr, "bench_bfs: large entry not found or not compressed\n");
        return 1;
    }
    const unsigned char* stream = c.entry_block + BFS_BLOCK_HEAD_SIZE;
    uLong stream_length = bfs_stored_length(&c);
    std::vector<unsigned char> buffer(size);
    double best_read = 1e30, best_zlib = 1e30;
    for (int round = 0; round < 5; round++) {
        auto start = Clock::now();
        uLongf n = size;
        if (uncompress(buffer.data(), &n, stream, stream_length) != Z_OK || n != size) return 1;
        best_zlib = std::min(best_zlib, seconds_since(start));
        start = Clock::now();
        if (!bfs_read(&c, buffer.data())) return 1;
        best_read = std::min(best_read, seconds_since(start));
        if (round == 0 && buffer != text) {
            fprintf(stderr, "bench_bfs: bfs_read gave wrong contents\n");
            return 1;
        }
    }
    double read_ratio = best_read / best_zlib;
    printf("Reading a %zu MB compressed entry (stream of %lu bytes), best of 5\n", size >> 20, stream_length);
    printf("%10s %12.1f ms %10.0f MB/s\n", "bfs_read", best_read * 1e3, static_cast<double>(size) / 1e6 / best_read);
    printf("%10s %12.1f ms %10.0f MB/s\n", "uncompress", best_zlib * 1e3, static_cast<double>(size) / 1e6 / best_zlib);
    printf("bfs_read / uncompress: %.3fx (goal: at most 1.1x) %s\n", read_ratio, read_ratio <= 1.1 ? "ok" : "SLOW");
    return 0;
}
