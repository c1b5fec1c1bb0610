// A packed program as the interpreter that its script starts through $^X:
// the helper acts as perl with the bound modules, while the program started
// under its own name still gives every argument to its script.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/proc_util.h"

namespace {


// Runs the Perl code in its first argument. A helper that ran this script
// again, instead of acting as perl, dies at once instead of starting itself
// without end.
const char* const kScript = R"(use strict; use warnings; use List::Util ();
die "started again\n" if $ENV{KV_AS_PERL_STARTS}++;
if (@ARGV != 1) { print "script: @ARGV"; exit 0 }
$| = 1;
eval $ARGV[0]; die $@ if $@;
)";

struct AsPerl : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the programs' temporary path

    std::string pack(const std::string& name, const std::vector<std::string>& options = {}) {
        write_text(dir.file(name + ".pl"), kScript);
        return pack_quietly(dir.file(name + ".pl"), dir.file(name), options);
    }
    ProcResult run(const std::vector<std::string>& args, const std::string& input = "") {
        std::vector<std::string> argv = {"/usr/bin/timeout", "-s", "KILL", "120"};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_process(argv, {"TMPDIR=" + tmp.path, "KOVRUN_DEBUG_LOG=" + dir.file("debug.log"), "DIR=" + dir.path,
                                  "KV_AS_PERL_STARTS", "PERL5LIB", "PERLLIB", "PERL5OPT", "DISPLAY", "WAYLAND_DISPLAY"},
                           "", input);
    }
    std::vector<std::string> left_in_tmp() {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(tmp.path)) names.push_back(e.path().filename());
        return names;
    }
};

TEST_F(AsPerl, HelpersStartedThroughDollarXActAsPerlWithTheBoundModules) {
    std::string exe = pack("prog");
    write_text(dir.file("helper.pl"), R"(print "$0|@ARGV")");
    std::filesystem::create_directory(dir.file("lib"));
    write_text(dir.file("lib/Mine.pm"), "package Mine; sub hi { 'mine' } 1;\n");
    struct Case {
        const char* code;
        std::string out;
    } cases[] = {
        {R"(print qx{$^X -e "print 6*7"})", "42"},
        // List::Util comes out of the archive; the system's modules are out of reach.
        {R"(system $^X, "-MList::Util=sum", "-e", q{print sum(1..4), $INC{"List/Util.pm"} eq Kovar::exe() . "/List/Util.pm" ? " bound" : " other"})",
         "10 bound"},
        {R"(system $^X, "-e", q{print $0, eval { require Text::Wrap; 1 } ? " system" : " bound only"})", "-e bound only"},
        {R"(system $^X, "$ENV{DIR}/helper.pl", "a", "-b")", dir.file("helper.pl") + "|a -b"},
        {R"(open my $p, "|-", $^X, "-", "x" or die; print $p q{print "stdin @ARGV"}; close $p)", "stdin x"},
        {R"(system $^X, "-e", "exit 3"; print $? >> 8)", "3"},
        {R"(print qx{printf 'a\nb\n' | $^X -lne 'print uc'})", "A\nB\n"},
        // The helper's own helpers, and a helper that forks.
        {R"(system $^X, "-e", q{print qx{$^X -e "print 7"}})", "7"},
        {R"(system $^X, "-e", q{if (my $p = fork) { waitpid $p, 0; print "parent" } else { print "child "; exit 0 }})",
         "child parent"},
        // The caller's directories (-I, PERL5LIB) stay, with and without taint mode.
        {R"(system $^X, "-I$ENV{DIR}/lib", "-MMine", "-e", q{print Mine::hi(), " ", scalar @INC})", "mine 2"},
        {R"(system $^X, "-T", "-I$ENV{DIR}/lib", "-MMine", "-e", q{print Mine::hi(), ${^TAINT}})", "mine1"},
        {R"($ENV{PERL5LIB} = "$ENV{DIR}/lib"; system $^X, "-MMine", "-e", q{print Mine::hi()})", "mine"},
    };
    for (const auto& c : cases) {
        ProcResult r = run({exe, c.code});
        EXPECT_EQ(r.status, 0) << c.code << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.code;
    }
    // The user's own switch-like arguments still reach the script.
    ProcResult r = run({exe, "-e", "1"});
    EXPECT_EQ(r.out, "script: -e 1");
    // Each link went with the directory of the process that made it.
    r = run({exe, "print $^X"});
    EXPECT_EQ(r.out.substr(0, tmp.path.size() + 5), tmp.path + "/qrx-");
    struct stat st;
    EXPECT_NE(lstat(r.out.c_str(), &st), 0);
    EXPECT_EQ(left_in_tmp().size(), 1u);
}

// Only a link named perl, of this user, in a private process directory of
// this user, makes the program (console or tray) act as perl.
TEST_F(AsPerl, OnlyAProcessDirectoryLinkStartsThePerl) {
    std::string console = pack("prog");
    std::string tray = pack("tray", {"--tray"});
    struct Case {
        std::string exe, directory;
        mode_t mode;
        std::string out;
    } cases[] = {
        {console, "qrx-u-1-0123456789ab", 0700, "42"},
        {tray, "qrx-u-2-0123456789ab", 0700, "42"},
        {console, "bin", 0700, "script: -e print 6*7"},
        {console, "qrx-u-3-0123456789ab", 0770, "script: -e print 6*7"},
    };
    for (const auto& c : cases) {
        std::string d = dir.file(c.directory);
        ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
        ASSERT_EQ(chmod(d.c_str(), c.mode), 0);
        ASSERT_EQ(symlink(c.exe.c_str(), (d + "/perl").c_str()), 0);
        ProcResult r = run({d + "/perl", "-e", "print 6*7"});
        EXPECT_EQ(r.status, 0) << c.directory << "\n" << r.err;
        EXPECT_EQ(r.out, c.out) << c.directory;
    }
}

}  // namespace
