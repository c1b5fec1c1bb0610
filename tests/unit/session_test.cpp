// Sessions started and ended by the driver: nested checks, the stores the
// driver makes into script variables, and what the command line carries of
// argv[0] and of the script's name.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kLibs = KV_TEST_LIBS_DIR;

// Packs `script`, saved under the file name `name`, into dir/app.
std::string pack(const TempDir& dir, const std::string& script, const std::vector<std::string>& extra = {},
                 const std::string& name = "app.pl") {
    write_text(dir.file(name), script);
    return pack_quietly(dir.file(name), dir.file("app"), extra);
}

TEST(Session, NestedCheckKeepsTheRuntimeThatIsLoaded) {
    TempDir dir, tmp;
    // The archive switched to (appended to another file) names another
    // runtime library: one that serves another Perl, or one that lacks a
    // required name.
    std::string exe = pack(dir, R"($| = 1; END { print "end\n" }
        Kovar::bfs($ARGV[0]);
        print "check=", Kovar::_check("f", "n", '1;'), "\n";
        Kovar::bfs();
        print "again=", Kovar::_check("f", "n", 'my $x = 1 +;') ? "failed" : "passed", " inc=", length INC('*SETUP') > 0, "\n";)");
    for (const char* lib : {"fake_other_perl.so", "fake_no_statusvalue.so"}) {
        ProcResult p = run_process({kBin + "/kovpack", "-q", "--host", "/bin/true", "--option", "PERLDLL=" + kLibs + "/" + lib,
                                    "-o", dir.file("other")});
        ASSERT_EQ(p.status, 0) << p.err;
        ProcResult r = run_process({exe, dir.file("other")}, {"TMPDIR=" + tmp.path});
        EXPECT_EQ(r.status, 0) << lib << "\n" << r.err;
        EXPECT_EQ(r.out, "check=0\nagain=failed inc=1\nend\n") << lib;
    }
}

TEST(Session, NestedChecksGiveTheirMemoryBack) {
    TempDir dir, tmp;
    std::string exe = pack(dir, R"(
        sub rss { open my $f, '<', '/proc/self/status' or die; /^VmRSS:\s+(\d+)/ and return $1 while <$f>; die }
        Kovar::_check("f", "n", 'use strict; 1;') for 1 .. 20;
        my $before = rss();
        Kovar::_check("f", "n", 'use strict; my @x = (1) x 100;') for 1 .. 200;
        print rss() - $before, "\n";)");
    // Without the sanitizer's quarantine, freed memory is used again.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string options = std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "quarantine_size_mb=0";
    ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path, options});
    ASSERT_EQ(r.status, 0) << r.err;
    // Each check used to keep about 800 kB.
    EXPECT_LT(std::stol(r.out), 20000) << "kB kept by 200 checks";
}

TEST(Session, CheckCopiesItsTextsBeforeScriptCodeCanChangeThem) {
    TempDir dir, tmp;
    // Turning CHECK into a string replaces the SCRIPT text that was taken
    // first; the nested $0 must still be the text as it was.
    std::string exe = pack(dir, R"(
        package T; sub TIESCALAR { bless [$_[1]] }
        sub FETCH { $main::script = "y" x 4000; die "fetch died\n" if $_[0][0]; 'BEGIN { print "nested=$0\n" }' }
        package O; use overload '""' => sub { $main::script = "z" x 4000; 'BEGIN { print "nested=$0\n" }' };
        package main; $| = 1; our $script;
        $script = "s" x 40; tie my $t, 'T', 0; print "tied=", Kovar::_check("f", $script, $t), "\n";
        $script = "s" x 40; print "overloaded=", Kovar::_check("f", $script, bless {}, 'O'), "\n";
        $script = "s" x 40; tie my $d, 'T', 1; print "dies=", eval { Kovar::_check("f", $script, $d) } // $@;)");
    ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string nested = "nested=" + std::string(40, 's') + "\n";
    EXPECT_EQ(r.out, nested + "tied=0\n" + nested + "overloaded=0\ndies=fetch died\n");
}

TEST(Session, ReadOnlyVariablesDoNotEndTheProgramInTheDriver) {
    struct Case {
        std::string script;
        std::vector<std::string> extra;
        std::string out;
    } cases[] = {
        {R"(BEGIN { Internals::SvREADONLY($Kovar::PERL5LIB, 1) } $| = 1; END { print "end\n" } print "main\n";)",
         {"--clean"}, "main\nend\n"},
        // The debugger's own stores go through its sub wrapper, which $^P = 0
        // turns off for the calls that follow.
        {R"($| = 1; sub Event { print "event\n" } END { print "end block\n" }
            print "main\n"; $^P = 0; *DB::single = \0;)",
         {"--clean", "--debug=NonStop=1 LineInfo=/dev/null", "--host-exe", kLibs + "/kv_resident_host"},
         "main\nhost: start returned 0\nhost: DB::single clear\nevent\nhost: event jump 0\nend block\nhost: done\n"},
    };
    for (const Case& c : cases) {
        TempDir dir, tmp;
        std::string exe = pack(dir, c.script, c.extra);
        ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path, "PERL5LIB=/user/lib"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_NE(r.err.find("Modification of a read-only value attempted"), std::string::npos) << r.err;
        EXPECT_TRUE(std::filesystem::is_empty(tmp.path)) << "a directory was left";
    }
}

TEST(Session, ProgramNameHoldingTheTerminatorIsOnlyText) {
    TempDir dir, tmp;
    std::string exe = pack(dir, R"(print "[$0]\n";)");
    for (std::string argv0 : {"x\nDOLLaR_NULL\r\n}BEGIN{print qq{INJECTED\\n}}BEGIN{ 1;#", "x\nDOLLaR_NULL\r",
                              "DOLLaR_NULL_1 DOLLaR_NULL\nDOLLaR_NULL_2\r\n"}) {
        ProcResult r = run_process({argv0}, {"TMPDIR=" + tmp.path}, exe);
        EXPECT_EQ(r.status, 0) << r.err;
        // The interpreter reads a here-document line that ends in "\r\n"
        // as ending in "\n"; everything else arrives as it was.
        std::string shown = argv0;
        for (size_t at; (at = shown.find("\r\n")) != std::string::npos;) shown.erase(at, 1);
        if (shown.back() == '\r') shown.pop_back();
        EXPECT_EQ(r.out, "[" + shown + "]\n");
    }
}

TEST(Session, ScriptNamesAreCarriedEscaped) {
    // name on disk, name the script reports
    const std::pair<std::string, std::string> cases[] = {
        {"q\"x.pl", "q?x.pl"}, {"a\nb.pl", "a?b.pl"}, {"c\rd.pl", "c?d.pl"}, {"s p'q'.pl", "s p'q'.pl"}};
    for (const auto& [name, shown] : cases) {
        TempDir dir, tmp;
        std::string exe = pack(dir, "print __FILE__, \"\\n\";\ndie 'died';\n", {}, name);
        ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path});
        EXPECT_EQ(r.status, 255) << name;
        EXPECT_EQ(r.out, shown + "\n");
        EXPECT_EQ(r.err, "died at " + shown + " line 2.\n");
    }
}

}  // namespace
