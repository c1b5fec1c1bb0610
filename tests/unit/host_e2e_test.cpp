// The host driven through real packed executables: the console host with a
// bound script, hand-made setup code and option entries.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "tests/support/cache_wait.h"
#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kRuntime = std::string(KV_LIB_DIR) + "/perl536.so";

std::string md5_of(const std::string& path) {
    ProcResult r = run_process({"/usr/bin/md5sum", path});
    return r.out.substr(0, 32);
}

// Packs `script` with the given setup code and extra kovpack arguments into
// an executable in `dir`; returns its path.
std::string pack(const TempDir& dir, const std::string& name, const std::string& script,
                 const std::vector<std::string>& extra = {}, const std::string& setup = "1;") {
    write_text(dir.file(name + ".pl"), script);
    write_text(dir.file(name + ".setup"), setup);
    static std::string md5 = md5_of(kRuntime);
    write_text(dir.file("perl.md5"), md5);
    std::vector<std::string> args = {kBin + "/kovpack", "-q", "--host", kBin + "/kovrun",
                                     "--entry", name + ".pl=" + dir.file(name + ".pl"),
                                     "--option", "SCRIPTNAME=" + name + ".pl",
                                     "--entry", "*SETUP=" + dir.file(name + ".setup"),
                                     "--entry", "perl536.so=" + kRuntime,
                                     "--entry", "perl.md5=" + dir.file("perl.md5"),
                                     "--option", "PERLDLL=perl536.so",
                                     "-o", dir.file(name)};
    args.insert(args.end(), extra.begin(), extra.end());
    ProcResult r = run_process(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return dir.file(name);
}

struct HostTest : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the programs' temporary path
    std::vector<std::string> env() const { return {"TMPDIR=" + tmp.path, "KOVRUN_DEBUG_LOG=" + dir.file("debug.log")}; }
    ProcResult run(const std::string& exe, std::vector<std::string> args = {}, std::vector<std::string> more_env = {}) {
        args.insert(args.begin(), exe);
        auto e = env();
        e.insert(e.end(), more_env.begin(), more_env.end());
        return run_process(args, e);
    }
};

TEST_F(HostTest, ProgramNameAndArgumentsReachTheScriptUnchanged) {
    std::string exe = pack(dir, "args", R"(print "[$0]\n"; print map("<$_>", @ARGV), "\n";)");
    ProcResult r = run_process({"a $b \"c\" 'd'", "-x", "--", "a b", "$HOME", "\"q\"", "-"}, env(), exe);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[a $b \"c\" 'd']\n<-x><--><a b><$HOME><\"q\"><->\n");

    // A program name that holds the here-document terminator as a line is
    // still only text.
    std::string evil = "x\nDOLLaR_NULL\n}; print \"INJECTED\\n\"; BEGIN {\nDOLLaR_NULL_1\ny";
    r = run_process({evil}, env(), exe);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[" + evil + "]\n\n");
}

TEST_F(HostTest, CallerPerlVariablesAreIgnoredAndTheLibraryPathKept) {
    std::string exe = pack(dir, "env", R"(
        print "lib=", $Kovar::PERL5LIB // 'undef', "\n";
        print "env=", join(",", grep { /^PERL/ } sort keys %ENV), "\n";
        print "inc=", (grep { $_ eq '/user/lib' } @INC) ? "has" : "no", "\n";)");
    ProcResult r = run(exe, {}, {"Perl5Lib=/user/lib", "PERLLIB=/other", "PERL5OPT=-Mstrict=vars -e die", "PERLIO=:raw"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "lib=/user/lib\nenv=PERLIO\ninc=no\n");
    r = run(exe);
    EXPECT_EQ(r.out.substr(0, 10), "lib=undef\n");
}

TEST_F(HostTest, IncReturnsBoundEntriesExactly) {
    write_text(dir.file("empty"), "");
    write_text(dir.file("bin"), std::string("a\0b\xff", 4));
    std::string exe = pack(dir, "inc", R"(
        print "setup=", INC('*SETUP'), "\n";
        print "case=", defined INC('*setup') ? 'def' : 'undef', "\n";
        print "absent=", defined INC('nothing') ? 'def' : 'undef', "\n";
        my $e = INC('empty'); print "empty=", defined $e ? "def:" . length($e) : 'undef', "\n";
        print "num=", INC(42), "\n";
        print "bin=", unpack('H*', INC('bin')), "\n";
        eval { INC() }; print "usage=$@";
        eval { INC('a', 'b') }; print "usage2=$@";)",
                           {"--entry", "empty=" + dir.file("empty"), "--entry", "42=" + dir.file("bin"),
                            "--entry", "bin=" + dir.file("bin")},
                           "# setup code\n1;");
    ProcResult r = run(exe);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("setup=# setup code\n1;\ncase=undef\nabsent=undef\nempty=def:0\nnum=a\0b\xff\nbin=610062ff\n", 80) +
                         "usage=Usage: lookup(name) at inc.pl line 8.\nusage2=Usage: lookup(name) at inc.pl line 9.\n");
}

TEST_F(HostTest, NoLinestrNeedsTwoEvalFrames) {
    std::string exe = pack(dir, "nl", R"(
        eval { Kovar::no_linestr() }; print "one=$@";
        eval { eval { Kovar::no_linestr() }; print "two=[$@]\n" };
        eval "eval { Kovar::no_linestr() }; print qq{string=[\$@]\n}; 1" or print "bad=$@";
        eval { Kovar::no_linestr(1) }; print "usage=$@";)");
    ProcResult r = run(exe);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "one=no_linestr: unexpected scope stack entries at nl.pl line 2.\ntwo=[]\nstring=[]\n"
              "usage=Usage: no_linestr() at nl.pl line 5.\n");
}

TEST_F(HostTest, SessionHandleMustNameALiveSession) {
    std::string exe = pack(dir, "handle", R"(
        my $h = $Kovar::_kovrun;
        for my $v ("123", 123, $h + 1, "$h") {
            local $Kovar::_kovrun = $v;
            eval { Kovar::exe() }; print "[$@]";
        }
        print "\n", defined(Kovar::exe()) ? "ok" : "bad", "\n";
        Kovar::_init(); print "reinit ok\n";
        undef $Kovar::_kovrun; eval { Kovar::_init() }; print "[$@]\n";)");
    ProcResult r = run(exe);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string panic = "Panic: _kovrun not defined at handle.pl line 5.\n";
    EXPECT_EQ(r.out, "[" + panic + "][" + panic + "][" + panic + "][" + panic + "]\nok\nreinit ok\n[Panic: _kovrun not defined at handle.pl line 9.\n]\n");
}

TEST_F(HostTest, DlRegKeepsLoadedLibrariesAndIgnoresTheRest) {
    std::string exe = pack(dir, "dl", R"(
        require DynaLoader;
        my $ref = DynaLoader::dl_load_file($ARGV[0], 0) or die DynaLoader::dl_error();
        Kovar::dl_reg($ref) for 1..130;
        Kovar::dl_reg(12345);
        eval { Kovar::dl_reg() }; print "usage=$@";
        print "done\n";)");
    ProcResult r = run(exe, {"/lib/x86_64-linux-gnu/libz.so.1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "usage=Usage: dl_reg(handle) at dl.pl line 6.\ndone\n");
}

TEST_F(HostTest, ArchiveSwitchesBetweenImagesFilesAndHome) {
    // A second archive, bare and appended to a copy of a file.
    write_text(dir.file("other.txt"), "from the other archive");
    ProcResult p = run_process({kBin + "/kovpack", "-q", "--archive-only", "--entry", "who=" + dir.file("other.txt"), "-o", dir.file("other.bfs")});
    ASSERT_EQ(p.status, 0) << p.err;
    p = run_process({kBin + "/kovpack", "-q", "--host", "/bin/true", "--entry", "who=" + dir.file("other.txt"), "-o", dir.file("carrier")});
    ASSERT_EQ(p.status, 0) << p.err;
    write_text(dir.file("home.txt"), "from home");
    std::string exe = pack(dir, "sw", R"(
        sub who { INC('who') // 'undef' }
        local $/; open my $f, '<', $ARGV[0] or die; binmode $f; my $img = <$f>; close $f;
        my $bare = substr($img, 0, length($img) - 12);
        print "home: ", who(), "\n";
        Kovar::bfs($bare); print "image: ", who(), "\n";
        substr($bare, 0, length $bare) = "x" x length $bare; undef $bare;
        print "image after change: ", who(), "\n";
        Kovar::bfs(); print "none: ", who(), "\n";
        Kovar::bfs($ARGV[1]); print "file: ", who(), "\n";
        Kovar::bfs(42); print "number: ", who(), "\n";
        Kovar::bfs($ARGV[1]); Kovar::bfs("/no/such/file"); print "missing: ", who(), "\n";
        Kovar::bfs($0); print "no archive: ", who(), "\n";
        my $bad = "\xffBFS\x01\0\0\0\xff\xff\xff\xff\x05\0\0\0\x06\0\0\0\x20\0\x03\0\x40\0\0\0\x3f\0\0\0";
        Kovar::bfs($bad); print "damaged: ", who(), "\n";)",
                           {"--entry", "who=" + dir.file("home.txt")});
    ProcResult r = run(exe, {dir.file("other.bfs"), dir.file("carrier")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              "home: from home\nimage: from the other archive\nimage after change: from the other archive\n"
              "none: from home\nfile: from the other archive\nnumber: from home\nmissing: from home\n"
              "no archive: from home\ndamaged: undef\n");
}

TEST_F(HostTest, TempDirsAreMadeOnDemandAndTheProcessOneRemovedAtExit) {
    std::string exe = pack(dir, "td", R"(
        my $b = Kovar::get_temp_dir(); my $b0 = Kovar::get_temp_dir(0);
        my $p = Kovar::get_temp_dir(1); my $p2 = Kovar::get_temp_dir(7);
        print "$b\n$b0\n$p\n$p2\n";
        open my $f, '>', "${p}file" or die; print $f "x"; close $f;
        mkdir "${p}sub"; open $f, '>', "${p}sub/ro" or die; close $f; chmod 0444, "${p}sub/ro";)");
    ProcResult r = run(exe);
    EXPECT_EQ(r.status, 0) << r.err;
    std::string user = getenv("USER") ? getenv("USER") : "";
    std::istringstream lines(r.out);
    std::string base, base0, proc, proc2;
    std::getline(lines, base);
    std::getline(lines, base0);
    std::getline(lines, proc);
    std::getline(lines, proc2);
    EXPECT_EQ(base.rfind(tmp.path + "/qrx", 0), 0u) << base;
    EXPECT_EQ(base, base0);
    EXPECT_EQ(proc, proc2);
    EXPECT_EQ(proc.substr(0, base.size() - 1) + "/", base.substr(0, base.size() - 1) + "/" );
    EXPECT_TRUE(std::filesystem::is_directory(base));
    EXPECT_FALSE(std::filesystem::exists(proc)) << "the process directory outlived the process";
    // The runtime library stays cached under its checksum (put there by a
    // detached writer).
    wait_for_cache_writers(tmp.path);
    EXPECT_TRUE(std::filesystem::exists(base + md5_of(kRuntime) + "/perl536.so"));
}

TEST_F(HostTest, CheckCompilesInANestedSessionAndLeavesTheSessionIntact) {
    std::string exe = pack(dir, "chk", R"(
        our $x = 5;
        print "ok=", Kovar::_check("file", "nested", 'my $y = 1 + 1;'), "\n";
        print "bad=", (Kovar::_check("file", "nested", 'my $y = 1 +;') != 0 ? "nonzero" : "zero"), "\n";
        print "exe=", (Kovar::exe() eq $0 ? "same" : Kovar::exe()), " x=$x inc=", defined INC('*SETUP') ? 1 : 0, "\n";
        eval { Kovar::_check(1, 2) }; print "usage=$@";)");
    ProcResult r = run_process({dir.file("chk")}, env());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ok=0\nbad=nonzero\nexe=same x=5 inc=1\nusage=Usage: _check(FILE, SCRIPT, CHECK) at chk.pl line 6.\n");
    EXPECT_NE(r.err.find("syntax error"), std::string::npos) << r.err;
}

TEST_F(HostTest, TaintOptionRunsInTaintMode) {
    std::string exe = pack(dir, "taint", R"(print "taint=${^TAINT}\n";)", {"--option", "TAINT"});
    ProcResult r = run(exe);
    EXPECT_EQ(r.out, "taint=1\n") << r.err;
}

TEST_F(HostTest, DebuggerThatCannotStartIsRetriedOnceWithout) {
    std::string exe = pack(dir, "dbg", R"(print "ran\n"; END { print "end\n" })", {"--option", "DEBUG=-"}, "@INC = (); 1;");
    ProcResult r = run(exe);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ran\nend\n");
    size_t first = r.err.find("Retrying without debugging...\n");
    ASSERT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Retrying", first + 1), std::string::npos);
    EXPECT_EQ(read_text(dir.file("debug.log")), "Retrying without debugging...\n");
}

TEST_F(HostTest, ExitStatusAndEndBlocks) {
    std::string exe = pack(dir, "st", R"(END { print "end\n" } print "main\n"; exit($ARGV[0]) if @ARGV; die "dying\n";)");
    ProcResult r = run(exe, {"3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "main\nend\n");
    r = run(exe);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "main\nend\n");
    EXPECT_EQ(r.err, "dying\n");

    exe = pack(dir, "ce", "BEGIN { print \"begin\\n\" } END { print \"end\\n\" }\nmy $x = ;\n");
    r = run(exe);
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("syntax error at ce.pl line 2"), std::string::npos) << r.err;
}

TEST_F(HostTest, VersionValuesAndUserDataDirectory) {
    // A version record: 52-byte head, texts after it.
    std::string rec(52, '\0');
    auto put = [&](size_t at, uint32_t v) { for (int i = 0; i < 4; i++) rec[at + i] = static_cast<char>(v >> (8 * i)); };
    std::string texts = std::string("http://u\0(c) me\0-beta\0", 22);
    put(16, 52);
    put(20, 1); put(24, 2); put(28, 3); put(32, 4); put(36, 99);
    put(40, 61);
    put(44, 68);
    rec += texts;
    write_text(dir.file("version"), rec);
    std::filesystem::create_directories(dir.file("home/Veltrix"));
    std::string exe = pack(dir, "ver", R"(
        print join(",", map { "$_=$Kovar::version{$_}" } sort keys %Kovar::version), "\n";
        print "appdata=", $Kovar::APPDATA // 'undef', "\n";)",
                           {"--entry", "*=" + dir.file("version")});
    ProcResult r = run(exe, {}, {"VELTRIX_HOME=" + dir.file("home") + "/"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "build=4,checkin=99,copyright=(c) me,major=1,minor=2,release=3,suffix=-beta,url=http://u\nappdata=" +
                         dir.file("home") + "/Veltrix/\n");
    r = run(exe, {}, {"VELTRIX_HOME=" + dir.file("nowhere")});
    EXPECT_EQ(r.out.substr(r.out.find("appdata")), "appdata=undef\n");

    // A record too short for its fields is taken as absent.
    write_text(dir.file("version"), rec.substr(0, 40));
    exe = pack(dir, "ver", R"(print scalar(keys %Kovar::version), "\n";)", {"--entry", "*=" + dir.file("version")});
    r = run(exe);
    EXPECT_EQ(r.out, "0\n") << r.err;
}

TEST_F(HostTest, MissingPiecesFailWithTheirPanics) {
    // No archive at all: the bare console host.
    ProcResult r = run(kBin + "/kovrun");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Panic: Can't find bfs section\n");

    // A script entry that the option names but that is absent.
    write_text(dir.file("s.pl"), "1;");
    ProcResult p = run_process({kBin + "/kovpack", "-q", "--host", kBin + "/kovrun", "--option", "SCRIPTNAME=absent.pl",
                                "--entry", "perl536.so=" + kRuntime, "--option", "CLEAN", "--option", "PERLDLL=perl536.so",
                                "-o", dir.file("noscript")});
    ASSERT_EQ(p.status, 0);
    r = run(dir.file("noscript"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Panic: Can't find script absent.pl\n");

    // Without "*SCRIPTNAME" the setup code alone is the program.
    p = run_process({kBin + "/kovpack", "-q", "--host", kBin + "/kovrun", "--entry", "*SETUP=" + dir.file("s.pl"),
                     "--entry", "perl536.so=" + kRuntime, "--option", "CLEAN", "--option", "PERLDLL=perl536.so",
                     "-o", dir.file("setuponly")});
    write_text(dir.file("s.pl"), "print qq{setup ran\\n}; 1;");
    p = run_process({kBin + "/kovpack", "-q", "--host", kBin + "/kovrun", "--entry", "*SETUP=" + dir.file("s.pl"),
                     "--entry", "perl536.so=" + kRuntime, "--option", "CLEAN", "--option", "PERLDLL=perl536.so",
                     "-o", dir.file("setuponly")});
    r = run(dir.file("setuponly"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "setup ran\n");

    // A setup code that dies fails the parse.
    write_text(dir.file("s.pl"), "die qq{setup failed\\n};");
    p = run_process({kBin + "/kovpack", "-q", "--host", kBin + "/kovrun", "--entry", "*SETUP=" + dir.file("s.pl"),
                     "--entry", "perl536.so=" + kRuntime, "--option", "CLEAN", "--option", "PERLDLL=perl536.so",
                     "-o", dir.file("setupdies")});
    r = run(dir.file("setupdies"));
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("setup failed"), std::string::npos) << r.err;
}

}  // namespace
