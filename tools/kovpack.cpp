// kovpack: packs a Perl script into a self-contained executable, and
// writes, lists and reads bound file system archives, bare or appended to a
// host executable.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "src/bfs/bfs.h"
#include "src/bfs/bfs_write.h"
#include "tools/pack_common.h"
#include "tools/pack_script.h"

namespace {

const char* const kUsage =
    "Usage:\n"
    "  kovpack [options] SCRIPT -o OUT\n"
    "  kovpack [options] -o OUT -- SCRIPT\n"
    "  kovpack --archive-only [--entry NAME=FILE]... [--option NAME[=TEXT]]... -o OUT\n"
    "  kovpack --host EXE [--entry NAME=FILE]... [--option NAME[=TEXT]]... -o OUT\n"
    "  kovpack --list FILE\n"
    "  kovpack --extract NAME FILE\n"
    "  kovpack --help\n"
    "\n"
    "The first form packs a Perl script into one executable OUT: a copy of the host\n"
    "program with an archive appended that binds the script, the modules and\n"
    "extension libraries it needs, the Perl runtime library, the Perl library\n"
    "(libperl) that the runtime library is linked against, and the setup code\n"
    "that loads the bound modules. The modules are found by compiling the script\n"
    "with the scanning perl (which runs its BEGIN blocks and use statements), by a\n"
    "static scan of the script and the modules (use and require of a module by its\n"
    "name wherever they stand, also in the constant text of string evals; modules\n"
    "that are not installed are left out, as the script then runs as perl runs it\n"
    "without them), by rules for modules that load others by names computed at\n"
    "run time (such as TAP::Harness and Encode), and with --trace-run or\n"
    "--trace-command by running the script. Data files that bound modules look\n"
    "for in the @INC directories (pod/perldiag.pod, ExtUtils/typemap, ...) are\n"
    "bound under their names relative to those directories and listed, one name\n"
    "a line, in the option entry \"*DATAFILES\". The other forms write a bound file\n"
    "system archive of named entries, or list or read one.\n"
    "\n"
    "The entry \"perl.md5\" of a packed script holds the MD5 checksum of the\n"
    "runtime library's bytes followed by the bytes of every library that\n"
    "\"*PERLDEPS\" names, in its order, and then of every library that\n"
    "\"*TRAYLIBS\" names (a tray program's desktop backend). The program caches\n"
    "these libraries in a directory named after it, so a changed runtime\n"
    "library, libperl or backend is written to a new one. Each of these\n"
    "libraries also gets an entry \"NAME.crc32\" with the CRC-32 of its bytes\n"
    "(8 hexadecimal digits): the program checks every library against it\n"
    "before writing it out, and refuses to start when one does not match.\n"
    "\n"
    "Packing a script:\n"
    "  --console           run the script with the console host, kovrun beside\n"
    "                      kovpack: arguments reach @ARGV, the script's exit\n"
    "                      status is the program's (the default). For command-\n"
    "                      line tools, filters and services\n"
    "  --tray              run the script with the tray host, nimbrel beside\n"
    "                      kovpack: the program puts an icon into the desktop's\n"
    "                      notification area before the script's main program\n"
    "                      runs and keeps running after it; clicks, double clicks,\n"
    "                      right clicks, pointer movement over the icon and timers\n"
    "                      call the script's subs (Click, ToolTip,\n"
    "                      Nimbrel::DoubleClick, Nimbrel::PopupMenu,\n"
    "                      Nimbrel::Timer) until one of them calls exit. For\n"
    "                      programs that live in the desktop; they need a display\n"
    "                      and Qt 6. Binds the desktop backend (listed in the\n"
    "                      option entry \"*TRAYLIBS\" and cached beside the runtime\n"
    "                      library) and the glue library Nimbrel.pm\n"
    "  --tray-backend FILE bind FILE as the desktop backend (default:\n"
    "                      lib/libnimbrel-qt.so in the parent of kovpack's\n"
    "                      directory)\n"
    "  --icon FILE         (with --tray) the program's default icon, shown from the\n"
    "                      start (entry \"*ICON\"); without it the tray host shows\n"
    "                      its built-in icon. PNG, SVG or ICO\n"
    "  --icon NAME=FILE    (with --tray) an icon that the script loads by NAME with\n"
    "                      Nimbrel::_LoadIcon (entry \"*ICON:NAME\"); NAME \"#N\"\n"
    "                      binds icon number N (\"#1\" is the default icon).\n"
    "                      Repeatable; the last one given for a name wins\n"
    "  --host-exe FILE     use FILE as the host program\n"
    "  --runtime FILE      bind FILE as the runtime library \"perl536.so\" (default:\n"
    "                      lib/perl536.so in the parent of kovpack's directory)\n"
    "  --no-bundle-libperl do not bind the Perl library (libperl) with the runtime\n"
    "                      library: the program then needs the system's Perl\n"
    "                      library to start. By default the libperl that the\n"
    "                      runtime library is linked against (found as the\n"
    "                      dynamic loader finds it for that library, as ldd\n"
    "                      reports) is bound under its soname, listed in the\n"
    "                      option entry \"*PERLDEPS\", and written out beside the\n"
    "                      runtime library, which loads it in preference to the\n"
    "                      system's; so the program runs where no Perl is installed\n"
    "  --perl FILE         the perl that scans the script (default /usr/bin/perl);\n"
    "                      its modules are bound, so it must be the perl that the\n"
    "                      runtime library was built from\n"
    "  -I, --lib DIR       look for modules in DIR first, as perl -I does\n"
    "                      (repeatable); a script's own modules beside it need\n"
    "                      -I DIR or a 'use lib' in the script\n"
    "  --add MODULE        also bind MODULE (Foo::Bar, or a file as require asks\n"
    "                      for it, e.g. unicore/Name.pl) and what it needs\n"
    "  --exclude MODULE    do not bind MODULE nor its auto/ files; the modules that\n"
    "                      every packed program needs to start stay bound\n"
    "  --trace-run ARGS    run the script once while packing and also bind every\n"
    "                      module file and extension library that the run loaded\n"
    "                      (its %INC at its end): for modules loaded by names\n"
    "                      computed at run time, which no scan finds. The run\n"
    "                      uses the scanning perl (--perl) and the -I\n"
    "                      directories given, the arguments ARGS (split at blanks\n"
    "                      as a shell does, without expansions: '...' and \"...\"\n"
    "                      quote, a backslash escapes), standard input from\n"
    "                      /dev/null; its output is discarded, its errors shown.\n"
    "                      The run is real: it does what the script does with\n"
    "                      these arguments, in the current directory (files it\n"
    "                      writes are written). A run that ends with a non-zero\n"
    "                      status is reported and what it loaded is bound; one\n"
    "                      that ends without running its END blocks (exec,\n"
    "                      POSIX::_exit, a fatal signal) or outlasts\n"
    "                      --trace-timeout fails the packing. Processes it\n"
    "                      leaves in its process group are killed. Repeatable:\n"
    "                      one run each\n"
    "  --trace-command CMD run the shell command CMD (/bin/sh -c) while packing,\n"
    "                      and bind what every run of the script that it starts\n"
    "                      loaded, as --trace-run does: to give the script its\n"
    "                      input, or to run it as its tests do. The runs report\n"
    "                      through PERL5OPT and PERL5LIB: they must be runs of\n"
    "                      the packing perl, not in taint mode; CMD gives them\n"
    "                      their -I directories. Repeatable\n"
    "  --trace-timeout SECONDS\n"
    "                      stop a traced run or command that takes longer than\n"
    "                      SECONDS (default 60)\n"
    "  --keep-system-lib   let the program also load modules from the system's Perl\n"
    "                      library paths, after the bound ones (by default it uses\n"
    "                      bound modules only)\n"
    "  --clean             extract the runtime library (and libperl) into the\n"
    "                      per-process directory, removed at exit, instead of\n"
    "                      caching it once per user\n"
    "  --taint             run the script in taint mode (-T)\n"
    "  --debug[=OPTIONS]   run the script under the Perl debugger, with PERLDB_OPTS\n"
    "                      set to OPTIONS when given; also binds the debugger\n"
    "  --tmpdir DIR        base directory for the extraction directories (default:\n"
    "                      the system's temporary directory)\n"
    "  --app-version MAJOR[.MINOR[.RELEASE[.BUILD]]]\n"
    "  --checkin N\n"
    "  --url TEXT\n"
    "  --copyright TEXT\n"
    "  --suffix TEXT       version values that the script finds in %Kovar::version;\n"
    "                      any of them writes the version record (entry \"*\"),\n"
    "                      values not given are 0 or empty\n"
    "  --verbose           list every entry written\n"
    "\n"
    "Writing an archive:\n"
    "  --archive-only      write a bare archive followed by its 12-byte trailer\n"
    "  --host EXE          write a copy of EXE with the archive appended; the\n"
    "                      output gets the mode of an executable\n"
    "\n"
    "Common:\n"
    "  --entry NAME=FILE   bind the contents of FILE under NAME (repeatable); a\n"
    "                      script reads it with INC('NAME'); it replaces what the\n"
    "                      packer would bind under the same name\n"
    "  --option NAME[=TEXT]\n"
    "                      bind an option entry \"*NAME\" holding TEXT (empty when\n"
    "                      no text is given); a leading '*' in NAME is optional\n"
    "  --no-index          write no hash index (lookups scan the directory)\n"
    "  --no-scramble       store names and contents without scrambling\n"
    "  -o, --output OUT    the file to write: a new name, or a regular file, which\n"
    "                      is replaced; it is written completely or not at all. A\n"
    "                      symbolic link, a directory, a device or a FIFO is refused\n"
    "  -q, --quiet         print nothing but errors\n"
    "  --list FILE         list the entries of a bare archive, or of an executable\n"
    "                      that carries one: name, size, stored length, compression\n"
    "  --extract NAME FILE write the contents of entry NAME to standard output\n"
    "\n"
    "  --                  end of the options: every argument after it is a SCRIPT,\n"
    "                      also one whose name begins with '-'\n"
    "\n"
    "Options that take a value also accept the form --NAME=VALUE. Every file that\n"
    "kovpack reads must be a regular file: a FIFO, a device or a directory is\n"
    "refused at once.\n"
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
    // A damaged entry can claim any size: check it before allocating.
    std::vector<unsigned char> data;
    if (bfs_entry_plausible(&c)) data.resize(size_t(bfs_size(&c)) + 1);
    if (data.empty() || !bfs_read(&c, data.data())) {
        fprintf(stderr, "kovpack: %s: entry '%s' is damaged\n", path, name);
        return 1;
    }
    size_t n = bfs_size(&c);
    if (n && fwrite(data.data(), 1, n, stdout) != n) {
        fprintf(stderr, "kovpack: writing standard output: %s\n", strerror(errno));
        return 1;
    }
    return 0;
}

int run(int argc, char** argv) {
    PackRequest req;
    ScriptPackOptions script;
    bool archive_only = false;
    std::string host;
    std::string script_option;  // first option that only script packing takes
    std::vector<std::string> positional;
    bool options_ended = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (options_ended) {
            positional.push_back(a);
            continue;
        }
        if (a == "--") {
            options_ended = true;
            continue;
        }
        // --NAME=VALUE is the same as --NAME VALUE.
        std::optional<std::string> inline_value;
        if (a.rfind("--", 0) == 0) {
            auto eq = a.find('=');
            if (eq != std::string::npos) {
                inline_value = a.substr(eq + 1);
                a.erase(eq);
            }
        }
        auto need = [&]() -> const char* {
            if (inline_value) return inline_value->c_str();
            if (i + 1 >= argc) return nullptr;
            return argv[++i];
        };
        auto flag = [&]() { return !inline_value; };
        auto script_only = [&]() {
            if (script_option.empty()) script_option = a;
        };
        if (a == "--help" || a == "-h") {
            fputs(kUsage, stdout);
            return 0;
        } else if (a == "--list") {
            const char* f = need();
            if (!f) return usage_error("--list needs a FILE");
            if (i + 1 != argc) return usage_error("--list takes exactly one FILE");
            return list_archive(f);
        } else if (a == "--extract") {
            if (inline_value) return usage_error("--extract takes NAME and FILE as separate arguments");
            if (i + 2 >= argc) return usage_error("--extract needs NAME and FILE");
            if (i + 3 != argc) return usage_error("--extract takes exactly NAME and FILE");
            return extract_entry(argv[i + 1], argv[i + 2]);
        } else if (a == "--archive-only") {
            if (!flag()) return usage_error("--archive-only takes no value");
            archive_only = true;
        } else if (a == "--host") {
            const char* v = need();
            if (!v) return usage_error("--host needs an EXE");
            host = v;
        } else if (a == "--entry") {
            const char* v = need();
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
            const char* v = need();
            if (!v) return usage_error("--option needs NAME[=TEXT]");
            std::string s = v;
            auto eq = s.find('=');
            std::string name = s.substr(0, eq);
            std::string text = eq == std::string::npos ? "" : s.substr(eq + 1);
            if (name.empty() || name == "*") return usage_error("--option needs a NAME");
            if (name[0] != '*') name = "*" + name;
            add_data_entry(req, name, text);
        } else if (a == "--no-index") {
            if (!flag()) return usage_error("--no-index takes no value");
            req.options.hash_index = false;
        } else if (a == "--no-scramble") {
            if (!flag()) return usage_error("--no-scramble takes no value");
            req.options.scramble_names = false;
            req.options.scramble_contents = false;
        } else if (a == "-o" || a == "--output") {
            const char* v = need();
            if (!v) return usage_error("-o needs an output file");
            req.output = v;
        } else if (a == "-q" || a == "--quiet") {
            if (!flag()) return usage_error(a + " takes no value");
            req.quiet = true;
        } else if (a == "--verbose") {
            if (!flag()) return usage_error("--verbose takes no value");
            req.verbose = true;
        } else if (a == "--console" || a == "--tray") {
            if (!flag()) return usage_error(a + " takes no value");
            script_only();
            script.host_kind = a == "--tray" ? HostKind::Tray : HostKind::Console;
        } else if (a == "--icon") {
            const char* v = need();
            if (!v || !*v) return usage_error("--icon needs FILE or NAME=FILE");
            script_only();
            // NAME=FILE when the part before '=' is a name, not a path.
            std::string s = v;
            auto eq = s.find('=');
            IconFile icon{"", s};
            if (eq != std::string::npos && s.substr(0, eq).find('/') == std::string::npos) {
                if (eq == 0 || eq + 1 == s.size()) return usage_error("--icon needs FILE or NAME=FILE, got '" + s + "'");
                icon = IconFile{s.substr(0, eq), s.substr(eq + 1)};
                std::string error;
                if (icon_entry_name(icon.name, &error).empty()) return usage_error(error);
            }
            script.icons.push_back(icon);
        } else if (a == "--host-exe" || a == "--runtime" || a == "--perl" || a == "--tmpdir" || a == "--tray-backend") {
            const char* v = need();
            if (!v || !*v) return usage_error(a + " needs a " + (a == "--tmpdir" ? "DIR" : "FILE"));
            script_only();
            if (a == "--host-exe") script.host_exe = v;
            else if (a == "--runtime") script.runtime = v;
            else if (a == "--tray-backend") script.tray_backend = v;
            else if (a == "--perl") script.perl = v;
            else script.tmpdir = v;
        } else if (a == "-I" || a == "--lib") {
            const char* v = need();
            if (!v || !*v) return usage_error(a + " needs a DIR");
            script_only();
            script.lib.push_back(v);
        } else if (a.size() > 2 && a.rfind("-I", 0) == 0) {
            script_only();
            script.lib.push_back(a.substr(2));
        } else if (a == "--add" || a == "--exclude") {
            const char* v = need();
            if (!v || !*v) return usage_error(a + " needs a MODULE");
            script_only();
            (a == "--add" ? script.add : script.exclude).push_back(v);
        } else if (a == "--trace-run" || a == "--trace-command") {
            const char* v = need();
            if (!v || (a == "--trace-command" && !*v)) return usage_error(a + (a == "--trace-run" ? " needs ARGS" : " needs a CMD"));
            script_only();
            if (a == "--trace-run") {
                TraceRun run{v, {}};
                std::string error;
                if (!split_words(run.text, &run.words, &error)) return usage_error("--trace-run: " + error);
                script.trace_runs.push_back(run);
            } else {
                script.trace_commands.push_back(v);
            }
        } else if (a == "--trace-timeout") {
            const char* v = need();
            if (!v) return usage_error("--trace-timeout needs SECONDS");
            script_only();
            int32_t seconds = 0;
            if (!parse_i32(v, &seconds) || seconds < 1 || seconds > 86400)
                return usage_error(std::string("--trace-timeout needs SECONDS from 1 to 86400, got '") + v + "'");
            script.trace_timeout = seconds;
        } else if (a == "--keep-system-lib" || a == "--clean" || a == "--taint" || a == "--no-bundle-libperl") {
            if (!flag()) return usage_error(a + " takes no value");
            script_only();
            if (a == "--keep-system-lib") script.keep_system_lib = true;
            else if (a == "--clean") script.clean = true;
            else if (a == "--taint") script.taint = true;
            else script.bundle_libperl = false;
        } else if (a == "--debug") {
            script_only();
            script.debug = inline_value.value_or("");
        } else if (a == "--app-version" || a == "--checkin" || a == "--url" || a == "--copyright" || a == "--suffix") {
            const char* v = need();
            if (!v) return usage_error(a + " needs a value");
            script_only();
            if (!script.version) script.version = VersionInfo{};
            VersionInfo& ver = *script.version;
            if (a == "--app-version") {
                if (!parse_app_version(v, &ver))
                    return usage_error(std::string("--app-version needs MAJOR[.MINOR[.RELEASE[.BUILD]]] with numbers from 0 to 2147483647, got '") + v + "'");
            } else if (a == "--checkin") {
                if (!parse_i32(v, &ver.checkin))
                    return usage_error(std::string("--checkin needs a 32-bit number, got '") + v + "'");
            } else {
                (a == "--url" ? ver.url : a == "--copyright" ? ver.copyright : ver.suffix) = v;
            }
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            return usage_error("unknown option '" + std::string(argv[i]) + "'");
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() > 1) return usage_error("unexpected argument '" + positional[1] + "'");
    if (req.output.empty()) return usage_error("no output file given (-o OUT)");
    if (positional.size() == 1) {
        if (archive_only || !host.empty())
            return usage_error("--archive-only and --host write archives; they take no SCRIPT");
        script.script = positional[0];
        return pack_script(script, req);
    }
    if (!script_option.empty()) return usage_error(script_option + " is for packing a script, and no SCRIPT was given");
    if (archive_only == !host.empty())
        return usage_error("give a SCRIPT, or exactly one of --archive-only and --host EXE");
    req.host = host;
    return write_pack(req) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int status = run(argc, argv);
    // What was printed must have reached standard output.
    bool flushed = fflush(stdout) == 0 && !ferror(stdout);
    if (!flushed && status == 0) {
        fprintf(stderr, "kovpack: writing standard output: %s\n", strerror(errno));
        return 1;
    }
    return status;
}
