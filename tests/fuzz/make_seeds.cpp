// Writes the archive fuzzer's seed corpus: one small archive of each form
// (index or not, scrambled or not, compressed entries, high-byte names, no
// entries) into the directory given as the only argument.
#include <stdio.h>

#include <string>
#include <vector>

#include "src/bfs/bfs_write.h"

namespace {

std::vector<unsigned char> bytes(const std::string& s) { return {s.begin(), s.end()}; }

bool write_seed(const std::string& dir, const std::string& name, const std::vector<BfsWriteEntry>& entries,
                const BfsWriteOptions& options) {
    std::vector<unsigned char> image;
    std::string error;
    if (!bfs_write_archive(entries, options, &image, nullptr, &error)) {
        fprintf(stderr, "bfs_fuzz_seeds: %s: %s\n", name.c_str(), error.c_str());
        return false;
    }
    std::string path = dir + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    bool ok = f && fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f) ok = fclose(f) == 0 && ok;
    if (!ok) fprintf(stderr, "bfs_fuzz_seeds: cannot write %s\n", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: bfs_fuzz_seeds DIR\n");
        return 2;
    }
    const std::string dir = argv[1];
    std::string script;
    for (int i = 0; i < 40; i++) script += "print \"line " + std::to_string(i) + "\\n\";\n";
    const std::vector<BfsWriteEntry> typical = {
        {"*", bytes(std::string(24, '\0'))},
        {"*CLEAN", {}},
        {"*SCRIPTNAME", bytes("main.pl")},
        {"main.pl", bytes(script)},  // long enough to be compressed
        {"perl.md5", bytes("0123456789abcdef0123456789abcdef")},
        {"lib/\xE9t\xE9.pm", bytes("1;\n")},
        {"ABCDEF", bytes("six")},
        {"ABCDEFG", bytes("seven")},
    };
    std::vector<BfsWriteEntry> many;
    for (int i = 0; i < 31; i++) many.push_back({"m" + std::to_string(i), bytes(std::to_string(i))});

    bool ok = true;
    for (int form = 0; form < 4; form++) {
        BfsWriteOptions o;
        o.hash_index = !(form & 1);
        o.scramble_names = o.scramble_contents = !(form & 2);
        ok = write_seed(dir, "typical-" + std::to_string(form), typical, o) && ok;
    }
    BfsWriteOptions stored;
    stored.compress = false;
    ok = write_seed(dir, "uncompressed", typical, stored) && ok;
    ok = write_seed(dir, "many", many, {}) && ok;
    ok = write_seed(dir, "empty-indexed", {}, {}) && ok;
    BfsWriteOptions linear;
    linear.hash_index = false;
    ok = write_seed(dir, "empty-linear", {}, linear) && ok;
    return ok ? 0 : 1;
}
