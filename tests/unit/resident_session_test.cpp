// A resident session, as a long-lived host keeps one: END blocks are held
// back until the quit sequence, which runs them exactly once.
#include <gtest/gtest.h>

#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;

std::string pack_resident(const TempDir& dir, const std::string& script, const std::vector<std::string>& extra = {}) {
    write_text(dir.file("app.pl"), script);
    std::vector<std::string> args = {kBin + "/kovpack", "-q", "--host-exe", std::string(KV_TEST_LIBS_DIR) + "/kv_resident_host"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {dir.file("app.pl"), "-o", dir.file("app")});
    ProcResult r = run_process(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return dir.file("app");
}

TEST(ResidentSession, EndBlocksWaitForTheQuitSequence) {
    TempDir dir, tmp;
    std::string exe = pack_resident(dir, R"(
        $| = 1; END { print "end block\n" }
        sub Event { print "event: @_\n" }
        print "main program\n";)");
    ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "main program\nhost: start returned 0\nhost: DB::single absent\nevent: after main\nhost: event jump 0\n"
                     "end block\nhost: done\n");
}

TEST(ResidentSession, ExitInsideAnEventLandsInTheHostsFrame) {
    TempDir dir, tmp;
    std::string exe = pack_resident(dir, R"(
        $| = 1; END { print "end block\n" }
        sub Event { print "event\n"; exit 4 }
        print "main\n";)");
    ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path});
    EXPECT_EQ(r.status, 0) << r.err;
    // The END blocks run once, in the quit sequence that follows the exit.
    EXPECT_EQ(r.out, "main\nhost: start returned 0\nhost: DB::single absent\nevent\nhost: event jump 2\nend block\nhost: done\n");
}

TEST(ResidentSession, EndBlocksCompiledAtRunTimeWaitForTheQuit) {
    TempDir dir, tmp;
    std::string exe = pack_resident(dir, R"(
        $| = 1; END { print "end block\n" }
        sub Event { print "event: @_\n"; eval 'END { print "event end\n" } 1' or die }
        eval 'END { print "run-time end\n" } END { die "dying end\n" } 1' or die;
        print "main program\n";)");
    ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path});
    EXPECT_EQ(r.status, 0) << r.err;
    // They run last compiled first; the one that dies ends the run.
    EXPECT_EQ(r.out, "main program\nhost: start returned 0\nhost: DB::single absent\nevent: after main\nhost: event jump 0\n"
                     "event end\nhost: done\n");
    EXPECT_NE(r.err.find("dying end"), std::string::npos) << r.err;
}

TEST(ResidentSession, DebuggerIsArmedForTheFirstEvent) {
    TempDir dir, tmp;
    std::string exe = pack_resident(dir, "$| = 1; sub Event { }\nprint \"main\\n\";\n", {"--debug=NonStop=1 LineInfo=/dev/null"});
    ProcResult r = run_process({exe}, {"TMPDIR=" + tmp.path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("DB::single armed"), std::string::npos) << r.out;
}

}  // namespace
