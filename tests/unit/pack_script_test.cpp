// The packer's script mode through its command line: what it binds, the
// option entries and the version record, and how it fails. Most cases use
// stand-ins for the host (/bin/true) and the runtime library; the last group
// runs real packed programs when the console host and runtime are built.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>

#include "src/bfs/bfs.h"
#include "tests/libs/fork_child.h"
#include "tests/support/proc_util.h"
#include "tools/md5.h"
#include "tools/pack_common.h"

namespace {

const std::string kPacker = std::string(KV_BIN_DIR) + "/kovpack";
const std::string kSource = KV_SOURCE_DIR;


// Path of a module file as the system perl loads it.
std::string system_module(const std::string& name) {
    ProcResult r = run_process({"/usr/bin/perl", "-e", "for (@INC) { if (-f \"$_/$ARGV[0]\") { print \"$_/$ARGV[0]\"; last } }", name});
    return r.out;
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

uint32_t u32_at(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) | uint32_t(uint8_t(s[at + 1])) << 8 | uint32_t(uint8_t(s[at + 2])) << 16 |
           uint32_t(uint8_t(s[at + 3])) << 24;
}

// The zero-terminated text at offset `at` of a version record, or nullopt
// when it does not lie inside the record.
std::optional<std::string> text_at(const std::string& record, uint32_t at) {
    if (at < 52 || at >= record.size()) return std::nullopt;
    size_t end = record.find('\0', at);
    if (end == std::string::npos) return std::nullopt;
    return record.substr(at, end - at);
}

struct PackScript : ::testing::Test {
    TempDir dir;
    std::string runtime = dir.file("runtime.so");
    std::string script = dir.file("app.pl");

    void SetUp() override {
        std::string bytes;
        uint32_t x = 12345;
        for (int i = 0; i < 200000; i++) {
            x = x * 1103515245 + 12345;
            bytes += static_cast<char>(x >> 23);
        }
        write_text(runtime, bytes);
        write_text(script, "use strict;\nuse List::Util qw(sum);\nuse POSIX qw(floor);\nprint sum(1, 2), floor(1.5), \"\\n\";\n");
    }

    // Runs kovpack on the script with stand-ins for host and runtime; the
    // stand-in needs no Perl library.
    ProcResult pack(std::vector<std::string> args, const std::string& out = "") {
        std::vector<std::string> argv = {kPacker, "--host-exe", "/bin/true", "--runtime", runtime, "--no-bundle-libperl"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {script, "-o", out.empty() ? dir.file("app") : out});
        return run_process(argv);
    }
};

TEST(Md5, KnownDigestsAndSplitInput) {
    EXPECT_EQ(md5_hex("", 0), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("abc", 3), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("message digest", 14), "f96b697d7cb7938d525a2f31aaf161d0");
    std::string digits;
    for (int i = 0; i < 8; i++) digits += "1234567890";
    EXPECT_EQ(md5_hex(digits.data(), digits.size()), "57edf4a22be3c955ac49da2e2107b67a");

    // Lengths around the 56- and 64-byte padding boundaries, fed in pieces.
    std::string data;
    for (int i = 0; i < 300; i++) data += static_cast<char>(i * 7);
    for (size_t n : {55, 56, 57, 63, 64, 65, 119, 120, 300}) {
        std::string whole = md5_hex(data.data(), n);
        Md5 m;
        for (size_t at = 0; at < n; at += 13) m.update(data.data() + at, std::min<size_t>(13, n - at));
        EXPECT_EQ(m.hex(), whole) << n;
    }
    const std::string& path = kPacker;
    std::vector<unsigned char> exe;
    std::string error;
    ASSERT_TRUE(read_file(path, &exe, &error));
    ProcResult r = run_process({"/usr/bin/md5sum", path});
    EXPECT_EQ(md5_hex(exe.data(), exe.size()), r.out.substr(0, 32));
}

TEST_F(PackScript, BindsTheScriptItsModulesTheRuntimeAndTheSetupCode) {
    ProcResult r = pack({"-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    auto e = entries_of(dir.file("app"));

    EXPECT_EQ(e["app.pl"], read_text(script));
    EXPECT_EQ(e["*SCRIPTNAME"], "app.pl");
    EXPECT_EQ(e["*SETUP"], read_text(kSource + "/perl/setup.pl"));
    EXPECT_EQ(e["*PERLDLL"], "perl536.so");
    EXPECT_EQ(e["perl536.so"], read_text(runtime));
    EXPECT_EQ(e["perl.md5"], run_process({"/usr/bin/md5sum", runtime}).out.substr(0, 32));
    for (const char* name : {"strict.pm", "List/Util.pm", "auto/List/Util/Util.so", "POSIX.pm", "auto/POSIX/POSIX.so",
                             "DynaLoader.pm", "Config.pm", "PerlIO/scalar.pm", "auto/PerlIO/scalar/scalar.so"}) {
        ASSERT_TRUE(e.count(name)) << name;
        EXPECT_EQ(e[name], read_text(system_module(name))) << name;
    }
    for (const char* name : {"*", "*CLEAN", "*TAINT", "*DEBUG", "*TMPDIR", "*KEEPSYSLIB", "perl5db.pl", "*PERLDEPS", "libperl.so.5.36",
                             "*DATAFILES"})
        EXPECT_FALSE(e.count(name)) << name;
    // Perl source that every start reads is stored as it is, and so is the
    // runtime library that a first start writes out; extension libraries
    // compressed.
    std::string listed = "\n" + run_process({kPacker, "--list", dir.file("app")}).out;
    for (const auto& [name, compressed] : std::vector<std::pair<std::string, std::string>>{
             {"app.pl", "no"}, {"*SETUP", "no"}, {"strict.pm", "no"}, {"POSIX.pm", "no"}, {"perl536.so", "no"},
             {"auto/POSIX/POSIX.so", "yes"}}) {
        size_t at = listed.find("\n" + name + " ");
        size_t end = at == std::string::npos ? at : listed.find('\n', at + 1);
        EXPECT_TRUE(end != std::string::npos && listed.compare(end - compressed.size() - 1, compressed.size() + 1, " " + compressed) == 0)
            << name << " compressed: " << compressed << listed;
    }

    // The output is the host followed by the archive, and executable.
    std::string out = read_text(dir.file("app"));
    std::string host = read_text("/bin/true");
    EXPECT_EQ(out.compare(0, host.size(), host), 0);
    struct stat st;
    ASSERT_EQ(stat(dir.file("app").c_str(), &st), 0);
    EXPECT_TRUE(st.st_mode & S_IXUSR);
    EXPECT_EQ(files_in(dir.path), (std::vector<std::string>{"app", "app.pl", "runtime.so"}));
}

TEST_F(PackScript, OptionsBecomeOptionEntries) {
    write_text(dir.file("words.txt"), "alpha\nbeta\n");
    ProcResult r = pack({"--clean", "--taint", "--keep-system-lib", "--tmpdir", "/var/tmp/x", "--debug=NonStop=1",
                         "--entry", "data/words.txt=" + dir.file("words.txt"), "--verbose"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto e = entries_of(dir.file("app"));
    EXPECT_EQ(e.at("*CLEAN"), "");
    EXPECT_EQ(e.at("*TAINT"), "");
    EXPECT_EQ(e.at("*KEEPSYSLIB"), "");
    EXPECT_EQ(e.at("*TMPDIR"), "/var/tmp/x");
    EXPECT_EQ(e.at("*DEBUG"), "NonStop=1");
    EXPECT_EQ(e.at("data/words.txt"), "alpha\nbeta\n");
    for (const char* name : {"perl5db.pl", "dumpvar.pl", "Term/ReadLine.pm"}) EXPECT_TRUE(e.count(name)) << name;
    // --verbose lists every entry; the report names what was bound.
    EXPECT_NE(r.out.find("  data/words.txt "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("  auto/POSIX/POSIX.so "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("kovpack: bound app.pl with "), std::string::npos) << r.out;

    r = pack({"--debug", "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(entries_of(dir.file("app")).at("*DEBUG"), "-");
}

TEST_F(PackScript, VersionRecordLayout) {
    ProcResult r = pack({"-q", "--app-version", "1.2.3.4", "--checkin", "-7", "--url", "https://example.org/app",
                         "--copyright", "(c) Someone", "--suffix=beta"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string v = entries_of(dir.file("app")).at("*");
    ASSERT_GE(v.size(), 52u);
    EXPECT_EQ(v.substr(0, 16), std::string(16, '\0'));
    EXPECT_EQ(u32_at(v, 20), 1u);
    EXPECT_EQ(u32_at(v, 24), 2u);
    EXPECT_EQ(u32_at(v, 28), 3u);
    EXPECT_EQ(u32_at(v, 32), 4u);
    EXPECT_EQ(static_cast<int32_t>(u32_at(v, 36)), -7);
    EXPECT_EQ(text_at(v, u32_at(v, 16)), "https://example.org/app");
    EXPECT_EQ(text_at(v, u32_at(v, 40)), "(c) Someone");
    EXPECT_EQ(text_at(v, u32_at(v, 44)), "beta");

    // One value alone: the numbers are 0 and the other texts empty, but
    // every offset still points at a terminated text inside the record.
    r = pack({"-q", "--suffix", "rc1"});
    ASSERT_EQ(r.status, 0) << r.err;
    v = entries_of(dir.file("app")).at("*");
    for (size_t at = 20; at <= 36; at += 4) EXPECT_EQ(u32_at(v, at), 0u) << at;
    EXPECT_EQ(text_at(v, u32_at(v, 16)), "");
    EXPECT_EQ(text_at(v, u32_at(v, 40)), "");
    EXPECT_EQ(text_at(v, u32_at(v, 44)), "rc1");

    r = pack({"-q", "--app-version", "7"});
    ASSERT_EQ(r.status, 0) << r.err;
    v = entries_of(dir.file("app")).at("*");
    EXPECT_EQ(u32_at(v, 20), 7u);
    EXPECT_EQ(u32_at(v, 24), 0u);

    std::filesystem::remove(dir.file("app"));
    for (const char* bad : {"1.2.3.4.5", "1..2", "1.x", "", "2147483648", "-1"}) {
        r = pack({"--app-version", bad});
        EXPECT_EQ(r.status, 2) << bad;
        EXPECT_NE(r.err.find("--app-version needs MAJOR"), std::string::npos) << r.err;
    }
    r = pack({"--checkin", "12a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_FALSE(std::filesystem::exists(dir.file("app")));
}

TEST_F(PackScript, ExcludeAddAndExplicitEntries) {
    write_text(dir.file("mine.pm"), "package List::Util; 1;\n");
    ProcResult r = pack({"-q", "--exclude", "POSIX", "--add", "Text::Wrap", "--entry", "List/Util.pm=" + dir.file("mine.pm")});
    ASSERT_EQ(r.status, 0) << r.err;
    auto e = entries_of(dir.file("app"));
    EXPECT_FALSE(e.count("POSIX.pm"));
    EXPECT_FALSE(e.count("auto/POSIX/POSIX.so"));
    EXPECT_TRUE(e.count("Text/Wrap.pm"));
    EXPECT_EQ(e["List/Util.pm"], "package List::Util; 1;\n");

    // Modules beside the script are found with -I, as with perl.
    std::filesystem::create_directory(dir.file("lib"));
    write_text(dir.file("lib/Mine.pm"), "package Mine;\nuse Text::Abbrev ();\n1;\n");
    write_text(script, "use Mine;\n");
    r = pack({"-q", "-I", dir.file("lib")});
    ASSERT_EQ(r.status, 0) << r.err;
    e = entries_of(dir.file("app"));
    EXPECT_EQ(e["Mine.pm"], read_text(dir.file("lib/Mine.pm")));
    EXPECT_TRUE(e.count("Text/Abbrev.pm"));
}

TEST_F(PackScript, FailuresWriteNothing) {
    auto expect_failure = [&](const ProcResult& r, int status, const std::string& message) {
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(files_in(dir.path), (std::vector<std::string>{"app.pl", "runtime.so"}));
    };
    write_text(script, "use strict;\nmy $x = ;\n");
    ProcResult r = pack({});
    expect_failure(r, 1, "syntax error at");
    EXPECT_NE(r.err.find("app.pl does not compile"), std::string::npos) << r.err;

    write_text(script, "print 1;\n");
    expect_failure(pack({"--add", "No::Such::Module"}), 1, "can't find module No::Such::Module");
    expect_failure(run_process({kPacker, "--host-exe", "/bin/true", "--runtime", dir.file("none.so"), script, "-o", dir.file("app")}),
                   1, "runtime library '" + dir.file("none.so") + "' not found");
    expect_failure(run_process({kPacker, "--host-exe", dir.file("nohost"), "--runtime", runtime, script, "-o", dir.file("app")}),
                   1, "host program '" + dir.file("nohost") + "' not found");
    expect_failure(pack({}, dir.file("missing-dir/app")), 1, "cannot write");
    expect_failure(run_process({kPacker, "--host-exe", "/bin/true", "--runtime", runtime, dir.file("nope.pl"), "-o", dir.file("app")}),
                   1, "cannot read script");

    // The output may not be one of the inputs: the script survives.
    expect_failure(pack({}, script), 1, "is the script");
    EXPECT_EQ(read_text(script), "print 1;\n");
    expect_failure(pack({}, runtime), 1, "is the runtime library");

    // An existing directory cannot be replaced by the output.
    std::filesystem::create_directory(dir.file("outdir"));
    r = pack({}, dir.file("outdir"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write"), std::string::npos) << r.err;
    EXPECT_EQ(files_in(dir.path), (std::vector<std::string>{"app.pl", "outdir", "runtime.so"}));
    std::filesystem::remove(dir.file("outdir"));

    // Wrong usage.
    expect_failure(run_process({kPacker, "--clean", "--archive-only", "-o", dir.file("app")}), 2, "--clean is for packing a script");
    expect_failure(run_process({kPacker, "--host", "/bin/true", script, "-o", dir.file("app")}), 2, "take no SCRIPT");
    expect_failure(run_process({kPacker, script, dir.file("other.pl"), "-o", dir.file("app")}), 2, "unexpected argument");
    expect_failure(run_process({kPacker, "--clean=yes", script, "-o", dir.file("app")}), 2, "--clean takes no value");
}

TEST_F(PackScript, DataFilesThatModulesLookForInIncAreBoundAndListed) {
    write_text(script, "use diagnostics;\nsub xs { require ExtUtils::ParseXS }\n");
    ProcResult r = pack({});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("kovpack: bound 3 data files that modules look for in @INC (listed in \"*DATAFILES\")"),
              std::string::npos) << r.out;
    auto e = entries_of(dir.file("app"));
    EXPECT_EQ(e["*DATAFILES"], "ExtUtils/typemap\ndiagnostics.pm\npod/perldiag.pod\n");
    for (const char* name : {"ExtUtils/typemap", "pod/perldiag.pod"}) EXPECT_EQ(e[name], read_text(system_module(name))) << name;
    // diagnostics.pm carries its database after its last line, where it
    // looks when perl's own pod directory is missing.
    EXPECT_EQ(e["diagnostics.pm"], read_text(system_module("diagnostics.pm")) + read_text(system_module("pod/perldiag.pod")));
}

// Runs of the script while packing bind what it loads by computed names.
TEST_F(PackScript, TracedRunsBindWhatTheScriptLoaded) {
    const std::string args_file = dir.file("args.txt");
    // The module's name is computed: no scan finds it.
    write_text(script, "my $out = shift;\nopen my $fh, '>', $out or die;\nprint $fh join('|', @ARGV), \"\\n\";\nclose $fh;\n"
                       "my $m = 'Text::' . 'Abbrev';\neval \"require $m; 1\" or die $@;\nexit(@ARGV && $ARGV[0] eq 'fail' ? 3 : 0);\n");
    ProcResult r = pack({"-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(entries_of(dir.file("app")).count("Text/Abbrev.pm"));

    struct Case {
        std::vector<std::string> args;
        std::string written;  // the arguments the run got, as the script wrote them
        std::string warning;
    };
    const std::string quoted = args_file + " a 'b c' \"d\\\"e\" f\\ g";
    for (const Case& c : std::vector<Case>{
             {{"--trace-run", quoted}, "a|b c|d\"e|f g\n", ""},
             {{"--trace-run=" + args_file + " fail"}, "fail\n", "kovpack: warning: the traced run 'app.pl " + args_file +
                                                                    " fail' ended with exit status 3; what it loaded is bound\n"},
             {{"--trace-command", "echo | /usr/bin/perl " + script + " " + args_file + " x"}, "x\n", ""},
         }) {
        SCOPED_TRACE(c.args.back());
        std::filesystem::remove(args_file);
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        r = pack(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, c.warning);
        EXPECT_EQ(read_text(args_file), c.written);
        auto e = entries_of(dir.file("app"));
        EXPECT_EQ(e["Text/Abbrev.pm"], read_text(system_module("Text/Abbrev.pm")));
    }
}

TEST_F(PackScript, TracedRunsThatCannotReportFailTheWholePacking) {
    std::filesystem::remove(dir.file("app"));
    const std::string child_pid = dir.file("child.pid");
    struct Case {
        std::string text;
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {"exec '/bin/true';\n", {"--trace-run", ""}, 1,
         "kovpack: the traced run 'app.pl' reported nothing: it ended without running its END blocks (exec or POSIX::_exit?); "
         "nothing was written\n"},
        {"print 1;\n", {"--trace-command", "true"}, 1, "kovpack: the traced command 'true' reported nothing: no run of app.pl by the packing perl (not in taint mode) reached "
         "its end; nothing was written\n"},
        {"kill 'KILL', $$;\n", {"--trace-run", "x"}, 1,
         "kovpack: the traced run 'app.pl x' failed (signal 9) before it reported what it loaded; nothing was written\n"},
        // What it started in its process group goes with it.
        {"my $pid = fork // die;\nif (!$pid) { sleep 100; exit }\nopen my $fh, '>', '" + child_pid + "' or die;\n"
         "print $fh $pid;\nclose $fh;\nsleep 100;\n",
         {"--trace-run", "", "--trace-timeout", "1"}, 1,
         "kovpack: the traced run 'app.pl' did not end within 1 second and was stopped; nothing was written (see --trace-timeout)\n"},
        {"print 1;\n", {"--trace-run", "'a"}, 2, "kovpack: --trace-run: unterminated ' in ''a'\n"},
        {"print 1;\n", {"--trace-timeout", "0"}, 2, "kovpack: --trace-timeout needs SECONDS from 1 to 86400, got '0'\n"},
        {"print 1;\n", {"--tray", "--trace-run", "x"}, 1,
         "kovpack: --trace-run and --trace-command run the script under plain perl, which a tray script cannot run under\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        write_text(script, c.text);
        ProcResult r = pack(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_EQ(r.err.compare(0, c.message.size(), c.message), 0) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir.file("app")));
    }
    // Killed: gone, or a zombie that its new parent has not reaped yet.
    std::string stat = read_text("/proc/" + read_text(child_pid) + "/stat");
    EXPECT_TRUE(stat.empty() || stat.find(") Z ") != std::string::npos) << stat;
}

std::string crc_of_text(const std::string& s) {
    char text[9];
    snprintf(text, sizeof text, "%08lx", crc32_z(0, reinterpret_cast<const unsigned char*>(s.data()), s.size()));
    return text;
}

std::string md5_of_texts(std::initializer_list<std::string> parts) {
    Md5 m;
    for (const std::string& p : parts) m.update(p.data(), p.size());
    return m.hex();
}

TEST_F(PackScript, BindsTheLibperlTheRuntimeNeedsAndChecksumsBoth) {
    const std::string real_runtime = std::string(KV_LIB_DIR) + "/perl536.so";
    if (access(real_runtime.c_str(), R_OK) != 0) GTEST_SKIP() << "runtime library not built";
    const std::string soname = "libperl.so.5.36";
    std::string system_lib = loader_choice(soname);
    ASSERT_FALSE(system_lib.empty());
    std::string runtime_bytes = read_text(real_runtime), lib_bytes = read_text(system_lib);
    auto pack_real = [&](std::vector<std::string> args, std::vector<std::string> env = {}) {
        std::vector<std::string> argv = {kPacker, "-q", "--host-exe", "/bin/true", "--runtime", real_runtime};
        argv.insert(argv.end(), args.begin(), args.end());
        if (std::find(args.begin(), args.end(), "-o") == args.end()) argv.insert(argv.end(), {script, "-o", dir.file("app")});
        return run_process(argv, env);
    };

    // The library the loader finds for the runtime, under its soname.
    ProcResult r = pack_real({});
    ASSERT_EQ(r.status, 0) << r.err;
    auto e = entries_of(dir.file("app"));
    EXPECT_EQ(e["*PERLDEPS"], soname + "\n");
    EXPECT_TRUE(e[soname] == lib_bytes) << "bound libperl differs from " << system_lib;
    EXPECT_EQ(e["perl.md5"], md5_of_texts({runtime_bytes, lib_bytes}));
    // And each library's own CRC-32, against which the program checks it.
    EXPECT_EQ(e["perl536.so.crc32"], crc_of_text(runtime_bytes));
    EXPECT_EQ(e[soname + ".crc32"], crc_of_text(lib_bytes));
    const std::string first_md5 = e["perl.md5"];

    // Another libperl, found first on the loader's path: bound, and a new checksum.
    std::filesystem::create_directory(dir.file("alt"));
    std::string changed = lib_bytes + "changed";
    write_text(dir.file("alt/" + soname), changed);
    r = pack_real({}, {"LD_LIBRARY_PATH=" + dir.file("alt")});
    ASSERT_EQ(r.status, 0) << r.err;
    e = entries_of(dir.file("app"));
    EXPECT_TRUE(e[soname] == changed);
    EXPECT_EQ(e["perl.md5"], md5_of_texts({runtime_bytes, changed}));
    EXPECT_NE(e["perl.md5"], first_md5);

    // The checksum covers what is bound, also when the user replaces the runtime.
    r = pack_real({"--entry", "perl536.so=" + runtime});
    ASSERT_EQ(r.status, 0) << r.err;
    e = entries_of(dir.file("app"));
    EXPECT_EQ(e["perl.md5"], md5_of_texts({read_text(runtime), lib_bytes}));
    EXPECT_EQ(e["perl536.so.crc32"], crc_of_text(read_text(runtime)));

    // Left out on request: the checksum is the runtime library's alone.
    r = pack_real({"--no-bundle-libperl"});
    ASSERT_EQ(r.status, 0) << r.err;
    e = entries_of(dir.file("app"));
    EXPECT_FALSE(e.count("*PERLDEPS"));
    EXPECT_FALSE(e.count(soname));
    EXPECT_EQ(e["perl.md5"], md5_of_texts({runtime_bytes}));

    // Failures write nothing: a list naming what is not bound, an output that
    // is the library, a runtime whose libraries cannot be listed.
    std::filesystem::remove(dir.file("app"));
    r = pack_real({"--option", "PERLDEPS=libnone.so\n"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("*PERLDEPS names 'libnone.so', which is not bound"), std::string::npos) << r.err;
    r = pack_real({script, "-o", dir.file("alt/" + soname)}, {"LD_LIBRARY_PATH=" + dir.file("alt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is the Perl library"), std::string::npos) << r.err;
    EXPECT_TRUE(read_text(dir.file("alt/" + soname)) == changed);
    r = run_process({kPacker, "--host-exe", "/bin/true", "--runtime", runtime, script, "-o", dir.file("app")});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot list the libraries that runtime library '" + runtime + "' needs"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--no-bundle-libperl"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("app")));
}

// Real packed programs, when the console host and the runtime library are built.
struct PackedProgram : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the programs' temporary path
    void SetUp() override {
        if (access((std::string(KV_BIN_DIR) + "/kovrun").c_str(), X_OK) != 0 ||
            access((std::string(KV_LIB_DIR) + "/perl536.so").c_str(), R_OK) != 0)
            GTEST_SKIP() << "console host or runtime library not built";
    }
    ProcResult run(const std::string& exe, std::vector<std::string> args = {}) {
        args.insert(args.begin(), exe);
        std::vector<std::string> env = {"TMPDIR=" + tmp.path};
        // Under the leak checker, its summary of suppressed leaks would
        // end up on the program's standard error.
        if (const char* lsan = getenv("LSAN_OPTIONS")) env.push_back(std::string("LSAN_OPTIONS=") + lsan + ":print_suppressions=0");
        return run_process(args, env);
    }
    // Whether the programs left anything beside their base directory (a
    // process directory).
    bool leftover_process_dir() const {
        auto entries = std::filesystem::directory_iterator(tmp.path);
        return std::distance(begin(entries), end(entries)) > 1;
    }
};

TEST_F(PackedProgram, RunsWithBoundModulesOnly) {
    write_text(dir.file("hello.pl"), R"(use strict;
use warnings;
use List::Util qw(sum);
use POSIX qw(floor);
use Data::Dumper;
use Digest::MD5 qw(md5_hex);
$Data::Dumper::Indent = 0;
print "sum=", sum(@ARGV), " floor=", floor(-1.5), " md5=", md5_hex("abc"), "\n";
print Dumper([1, 'x']), "\n";
print "file=", __FILE__, " inc=$INC{'List/Util.pm'} n=", scalar(@INC), "\n";
print "v=$Kovar::version{major}.$Kovar::version{minor} $Kovar::version{suffix}\n";
print "data=$_" while <DATA>;
exit 7;
__DATA__
line
)");
    std::string exe = dir.file("hello");
    ProcResult r = run_process({kPacker, "-q", "--app-version", "2.5", "--suffix", "rc", dir.file("hello.pl"), "-o", exe});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(exe, {"1", "2", "3"});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "sum=6 floor=-2 md5=900150983cd24fb0d6963f7d28e17f72\n$VAR1 = [1,'x'];\n"
                     "file=hello.pl inc=" + exe + "/List/Util.pm n=1\nv=2.5 rc\ndata=line\n");
    EXPECT_FALSE(leftover_process_dir()) << "a process directory left behind";

    // Taint mode and the per-process runtime copy.
    r = run_process({kPacker, "-q", "--taint", "--clean", dir.file("hello.pl"), "-o", exe});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(exe, {"4"});
    EXPECT_EQ(r.status, 7) << r.err;
    EXPECT_EQ(r.out.substr(0, 10), "sum=4 floo");
}

// Programs that load modules in the ways real programs do print what plain
// perl prints for them.
TEST_F(PackedProgram, ProgramsThatLoadModulesAsTheyGoRunAsUnderPerl) {
    struct Case {
        const char* what;
        std::string script;
        std::vector<std::string> pack_args;
        std::vector<std::string> args;
    } cases[] = {
        {"%INC entries that are not files", "BEGIN { $INC{'Fake/Mod.pm'} = '(set by hand)' }\nprint \"ok\\n\";\n", {}, {}},
        {"a require inside eval", "print eval { require Time::Piece; 1 } ? \"ok\\n\" : \"no\\n\";\n", {}, {}},
        {"modules loaded by computed names",
         "use TAP::Harness;\nprint ref(TAP::Harness->new({verbosity => -3})->formatter), \"\\n\";\n"
         "use Encode;\nprint unpack('H*', encode($ARGV[0], \"\\x{3b1}\\x{3b2}\")), \"\\n\";\n",
         {},
         {"iso-8859-7"}},
        {"a module named on the command line, traced",
         "(my $file = \"$ARGV[0].pm\") =~ s{::}{/}g;\nrequire $file;\nprint \"$ARGV[0] \", $ARGV[0]->can('abbrev') ? 1 : 0, \"\\n\";\n",
         {"--trace-run", "Text::Abbrev"},
         {"Text::Abbrev"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_text(dir.file("app.pl"), c.script);
        std::vector<std::string> argv = {kPacker, "-q"};
        argv.insert(argv.end(), c.pack_args.begin(), c.pack_args.end());
        argv.insert(argv.end(), {dir.file("app.pl"), "-o", dir.file("app")});
        ProcResult r = run_process(argv);
        ASSERT_EQ(r.status, 0) << r.err;
        std::vector<std::string> plain_argv = {"/usr/bin/perl", dir.file("app.pl")};
        plain_argv.insert(plain_argv.end(), c.args.begin(), c.args.end());
        ProcResult plain = run_process(plain_argv);
        ASSERT_EQ(plain.status, 0) << plain.err;
        r = run(dir.file("app"), c.args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, plain.out);
    }
}

TEST_F(PackedProgram, ErrorsInBoundModulesNameTheirFiles) {
    write_text(dir.file("Broken.pm"), "package Broken;\nsub f {\n    1;\n");
    write_text(dir.file("app.pl"), "print eval { require Broken; 1 } ? \"loaded\\n\" : $@;\n"
                                   "eval { require XSLoader; XSLoader::load('Nope', '1') }; print $@;\n"
                                   "my $name = 'Text/Abbrev.pm';\nrequire $name;\n");
    std::string exe = dir.file("app");
    ProcResult r = run_process({kPacker, "-q", "--entry", "Broken.pm=" + dir.file("Broken.pm"), dir.file("app.pl"), "-o", exe});
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(exe);
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.out.find("at " + exe + "/Broken.pm line "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Can't locate loadable object for module Nope in the bound archive (no entry auto/Nope/Nope.so) at app.pl line 2."),
              std::string::npos) << r.out;
    EXPECT_NE(r.err.find("Can't locate Text/Abbrev.pm in @INC"), std::string::npos) << r.err;
}

}  // namespace
