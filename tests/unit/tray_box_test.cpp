// Nimbrel::MessageBox and Nimbrel::Execute on the test backend: the style
// that the box is asked for, the codes the script gets, the box that is
// open while its loop delivers events, and the quit that waits for it.
#include <gtest/gtest.h>

#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kHost = std::string(KV_TEST_LIBS_DIR) + "/kv_tray_host";
const std::string kEnd = "tray: delete id=100 flags=0x7\ntray: destroy_window\n";
const std::string kLoopEnd = "tray: loop ended by the test\n" + kEnd + "tray: post_quit 0\n";

std::string added(int size) {
    return "tray: add size=" + std::to_string(size) + " id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n";
}

std::string box(const std::string& style, const std::string& caption, const std::string& text) {
    return "tray: message_box style=" + style + " caption=\"" + caption + "\" text=\"" + text + "\"\n";
}

std::string returns(int code) { return "tray: message_box returns " + std::to_string(code) + "\n"; }

struct TrayBox : ::testing::Test {
    TempDir dir;

    ProcResult run(const std::string& script, const std::string& steps) {
        write_text(dir.file("app.pl"), "$| = 1;\n" + script);
        ProcResult packed =
            run_process({kBin + "/kovpack", "-q", "--no-bundle-libperl", "--host-exe", kHost, dir.file("app.pl"), "-o", dir.file("app")});
        EXPECT_EQ(packed.status, 0) << packed.err;
        ProcResult r = run_process({dir.file("app")}, {"TMPDIR=" + dir.path, "KV_TRAY_STEPS=" + steps,
                                                       "KOVRUN_DEBUG_LOG=" + dir.file("debug.log")});
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        return r;
    }
};

TEST_F(TrayBox, StylesAreAdaptedToTheVersionAndAnswersMapped) {
    struct Case {
        int style, answer;
        const char *shown4, *shown6;
        int result;
    } cases[] = {
        {0, 1, "0x0", "0x0", 1},        {2, 3, "0x2", "0x2", 2},         {2, 4, "0x2", "0x2", 10},
        {2, 5, "0x2", "0x2", 11},       {4, 6, "0x4", "0x4", 6},         {4, 7, "0x4", "0x4", 7},
        {0x26, 4, "0x22", "0x26", 10},  {0x136, 5, "0x132", "0x136", 11},
        // A button set the box does not know: no box, 0; the next one shows.
        {7, 1, "0x7", "0x7", 0},        {1, 2, "0x1", "0x1", 2},
    };
    for (int version : {4, 6}) {
        std::string steps = "shell " + std::to_string(version);
        std::string expected = added(version == 4 ? 88 : 504) + "> " + steps + "\n";
        for (const Case& c : cases) {
            std::string answer = "box " + std::to_string(c.answer), command = "command " + std::to_string(c.style);
            steps += "; " + answer + "; " + command;
            expected += "> " + answer + "\n> " + command + "\n" + box(version == 4 ? c.shown4 : c.shown6, "c", "t") +
                        (c.result ? returns(c.answer) : "") + "result " + std::to_string(c.result) + "\n";
        }
        ProcResult r = run("sub Nimbrel::Command { print 'result ', Nimbrel::MessageBox('t', 'c', $_[0]), \"\\n\" }", steps);
        EXPECT_EQ(r.out, expected + kLoopEnd) << "version " << version;
    }
}

TEST_F(TrayBox, ArgumentsAndTheBoxThatIsOpen) {
    ProcResult r = run(R"(
        print defined(Nimbrel::MessageBox()) ? "shown\n" : "undef\n";
        print Nimbrel::MessageBox('hi'), "\n";
        print Nimbrel::MessageBox("caf\xe9", 42), "\n";
        sub Nimbrel::Timer { my $r = Nimbrel::MessageBox('inner'); print 'inner ', defined $r ? $r : 'undef', "\n" }
        sub Nimbrel::Command { print 'outer ', Nimbrel::MessageBox('outer'), "\n" }
        Nimbrel::_SetTimer(2, 1000);)",
                       "post timer 2; box 6; command 1; timer 2");
    EXPECT_EQ(r.out, added(88) + "undef\n" + box("0x0", "Nimbrel", "hi") + returns(1) + "1\n" + box("0x0", "42", "caf\xc3\xa9") +
                         returns(1) + "1\ntray: set_timer 2 1000\n> post timer 2\n> box 6\n> command 1\n" +
                         box("0x0", "Nimbrel", "outer") + "inner undef\n" + returns(6) + "outer 6\n> timer 2\n" +
                         box("0x0", "Nimbrel", "inner") + returns(1) + "inner 1\n" + kLoopEnd);
}

TEST_F(TrayBox, AnExitWhileTheBoxIsOpenClosesItAndQuitsAfterItsCaller) {
    ProcResult r = run(R"(
        END { print "END ran, status $?\n" }
        sub Nimbrel::Timer { print "timer exits\n"; exit 3 }
        sub Nimbrel::Command {
            print 'box ', Nimbrel::MessageBox('outer'), "\n";
            print 'again ', defined(Nimbrel::MessageBox('x')) ? 'shown' : 'undef', "\n";
        }
        Nimbrel::_SetTimer(2, 1000);)",
                       "post timer 2; post timer 2; command 1; command 2");
    EXPECT_EQ(r.out, added(88) + "tray: set_timer 2 1000\n> post timer 2\n> post timer 2\n> command 1\n" + box("0x0", "Nimbrel", "outer") +
                         "timer exits\ntray: close_box\n" + returns(2) + "box 2\nagain undef\nEND ran, status 3\n" + kEnd +
                         "tray: post_quit 3\n> command 2\n");
    EXPECT_EQ(r.status, 3);
}

TEST_F(TrayBox, ATerminationSignalWhileTheMainProgramsBoxIsOpenQuitsAfterTheMainProgram) {
    ProcResult r = run(R"(
        END { print "END ran, status $?\n" }
        kill 'TERM', $$;
        print Nimbrel::MessageBox('main'), "\n";
        print "main goes on\n";)",
                       "command 1");
    EXPECT_EQ(r.out, added(88) + box("0x0", "Nimbrel", "main") + "tray: close_box\n" + returns(2) + "2\nmain goes on\nEND ran, status 143\n" +
                         kEnd + "tray: post_quit 143\n");
    EXPECT_EQ(r.status, 143);
}

TEST_F(TrayBox, ExecuteHandsOverTheTargetAndReportsFailuresOnTheDebuggerOutput) {
    ProcResult r = run("Nimbrel::Execute(); Nimbrel::Execute($_) for '/', '/nonexistent/missing', 'https://example.org/';", "");
    EXPECT_EQ(r.out, added(88) + "tray: execute /\ntray: execute /nonexistent/missing\ntray: execute https://example.org/\n" + kLoopEnd);
    EXPECT_EQ(read_text(dir.file("debug.log")), "Nimbrel::Execute: can't open /nonexistent/missing: no such file or directory\n");
}

}  // namespace
