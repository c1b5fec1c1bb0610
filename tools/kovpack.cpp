// kovpack: writes, lists and reads bound file system archives, bare or
// appended to a host executable.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "src/bfs/bfs.h"
#include "src/bfs/bfs_write.h"
#include "tools/pack_common.h"

namespace {

const char* const kUsage =
    "Usage:\n"
    "  kovpack --archive-only [--entry NAME=FILE]... [--option NAME[=TEXT]]... -o OUT\n"
    "  kovpack --host EXE [--entry NAME=FILE]... [--option NAME[=TEXT]]... -o OUT\n"
    "  kovpack --list FILE\n"
    "  kovpack --extract NAME FILE\n"
    "  kovpack --help\n"
    "\n"
    "Writes a bound file system archive of named entries, or lists or reads one.\n"
    "\n"
    "  --archive-only      write a bare archive followed by its 12-byte trailer\n"
    "  --host EXE          write a copy of EXE with the archive appended; the\n"
    "                      output gets the mode of an executable\n"
    "  --entry NAME=FILE   bind the contents of FILE under NAME (repeatable)\n"
    "  --option NAME[=TEXT]\n"
    "                      bind an option entry \"*NAME\" holding TEXT (empty when\n"
    "                      no text is given); a leading '*' in NAME is optional\n"
    "  --no-index          write no hash index (lookups scan the directory)\n"
    "  --no-scramble       store names and contents without scrambling\n"
    "  -o, --output OUT    the file to write; it is written completely or not at all\n"
    "  --list FILE         list the entries of a bare archive, or of an executable\n"
    "                      that carries one: name, size, stored length, compression\n"
    "  --extract NAME FILE write the contents of entry NAME to standard output\n"
    "  -q, --quiet         print nothing but errors\n"
    "\n"
    "Exit status: 0 on success, 1 on a failure, 2 on wrong usage.\n";

int usage_error(const std::string& msg) {
    fprintf(stderr, "kovpack: %s\nTry 'kovpack --help' for more information.\n", msg.c_str());
    return 2;
}

std::string printable(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

int list_archive(const char* path) {
    std::vector<unsigned char> file;
    std::string error;
    BfsArchive archive;
    if (!load_archive_file(path, &file, &archive, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return 1;
    }
    uint32_t count = bfs_u32(archive.image + 12);
    printf("%-40s %12s %12s  %s\n", "NAME", "SIZE", "STORED", "COMPRESSED");
    bfs_cursor c;
    bfs_cursor_start_all(&c, &archive);
    uint32_t listed = 0;
    for (; bfs_cursor_valid(&c); bfs_cursor_next(&c), listed++) {
        std::string name(c.name_length, '\0');
        bfs_cursor_name(&c, reinterpret_cast<unsigned char*>(name.data()));
        bool compressed = bfs_entry_flags(&c) & BFS_ENTRY_COMPRESSED;
        printf("%-40s %12u %12u  %s\n", printable(name).c_str(), bfs_size(&c), bfs_stored_length(&c), compressed ? "yes" : "no");
    }
    printf("%u entries, archive of %u bytes\n", listed, bfs_u32(archive.image + 8));
    if (listed != count) {
        fprintf(stderr, "kovpack: %s: damaged directory: %u of %u entries readable\n", path, listed, count);
        return 1;
    }
    return 0;
}

int extract_entry(const char* name, const char* path) {
    std::vector<unsigned char> file;
    std::string error;
    BfsArchive archive;
    if (!load_archive_file(path, &file, &archive, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return 1;
    }
    bfs_cursor c;
    if (!bfs_lookup(&archive, name, strlen(name), &c)) {
        fprintf(stderr, "kovpack: %s: no entry named '%s'\n", path, name);
        return 1;
    }
    std::vector<unsigned char> data(size_t(bfs_size(&c)) + 1);
    if (!bfs_read(&c, data.data())) {
        fprintf(stderr, "kovpack: %s: entry '%s' is damaged\n", path, name);
        return 1;
    }
    size_t n = bfs_size(&c);
    if (n && fwrite(data.data(), 1, n, stdout) != n) {
        fprintf(stderr, "kovpack: writing standard output: %s\n", strerror(errno));
        return 1;
    }
    return fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    PackRequest req;
    bool archive_only = false;
    std::string host;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto need = [&](const char* what) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)what;
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "--list") {
            const char* f = need("FILE");
            if (!f) return usage_error("--list needs a FILE");
            if (i + 1 != argc) return usage_error("--list takes exactly one FILE");
            return list_archive(f);
        } else if (a == "--extract") {
            if (i + 2 >= argc) return usage_error("--extract needs NAME and FILE");
            if (i + 3 != argc) return usage_error("--extract takes exactly NAME and FILE");
            return extract_entry(argv[i + 1], argv[i + 2]);
        } else if (a == "--archive-only") {
            archive_only = true;
        } else if (a == "--host") {
            const char* v = need("EXE");
            if (!v) return usage_error("--host needs an EXE");
            host = v;
        } else if (a == "--entry") {
            const char* v = need("NAME=FILE");
            if (!v) return usage_error("--entry needs NAME=FILE");
            std::string s = v;
            auto eq = s.find('=');
            if (eq == std::string::npos || eq == 0 || eq + 1 == s.size())
                return usage_error("--entry needs NAME=FILE, got '" + s + "'");
            std::string error;
            if (!add_file_entry(req, s.substr(0, eq), s.substr(eq + 1), &error)) {
                fprintf(stderr, "kovpack: %s\n", error.c_str());
                return 1;
            }
        } else if (a == "--option") {
            const char* v = need("NAME[=TEXT]");
            if (!v) return usage_error("--option needs NAME[=TEXT]");
            std::string s = v;
            auto eq = s.find('=');
            std::string name = s.substr(0, eq);
            std::string text = eq == std::string::npos ? "" : s.substr(eq + 1);
            if (name.empty() || name == "*") return usage_error("--option needs a NAME");
            if (name[0] != '*') name = "*" + name;
            add_data_entry(req, name, text);
        } else if (a == "--no-index") {
            req.options.hash_index = false;
        } else if (a == "--no-scramble") {
            req.options.scramble_names = false;
            req.options.scramble_contents = false;
        } else if (a == "-o" || a == "--output") {
            const char* v = need("OUT");
            if (!v) return usage_error("-o needs an output file");
            req.output = v;
        } else if (a == "-q" || a == "--quiet") {
            req.quiet = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            return usage_error("unknown option '" + a + "'");
        } else {
            positional.push_back(a);
        }
    }
    if (!positional.empty()) return usage_error("unexpected argument '" + positional[0] + "'");
    if (archive_only == !host.empty())
        return usage_error("choose exactly one of --archive-only and --host EXE");
    if (req.output.empty()) return usage_error("no output file given (-o OUT)");
    req.host = host;
    return write_pack(req) ? 0 : 1;
}
