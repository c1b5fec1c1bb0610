// The script's tray library (perl/Nimbrel.pm) in a packed program on the
// test backend: what its functions make the host do, and which of the
// script's handlers the host's events reach. Also the clock demo.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kSource = KV_SOURCE_DIR;
const std::string kHost = std::string(KV_TEST_LIBS_DIR) + "/kv_tray_host";
const std::string kAdd4 = "tray: add size=88 id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n";
const std::string kLoopEnd = "tray: loop ended by the test\ntray: delete id=100 flags=0x7\ntray: destroy_window\ntray: post_quit 0\n";

struct TrayGlue : ::testing::Test {
    TempDir dir;
    TempDir tmp;

    // Packs the script file with the test host and the library, and runs it
    // with the steps.
    ProcResult run_file(const std::string& script, const std::string& steps, const std::vector<std::string>& pack = {}) {
        std::vector<std::string> args = {kBin + "/kovpack", "-q", "--no-bundle-libperl", "--host-exe", kHost, "-I", kSource + "/perl"};
        args.insert(args.end(), pack.begin(), pack.end());
        args.insert(args.end(), {script, "-o", dir.file("app")});
        ProcResult packed = run_process(args);
        EXPECT_EQ(packed.status, 0) << packed.err;
        return run_process({dir.file("app")}, {"TMPDIR=" + tmp.path, "KV_TRAY_STEPS=" + steps, "KOVRUN_DEBUG_LOG=/dev/null"});
    }
    // The same for a script text, which uses the library under strict and warnings.
    ProcResult run(const std::string& script, const std::string& steps, const std::vector<std::string>& pack = {}) {
        write_text(dir.file("app.pl"), "$| = 1;\nuse strict;\nuse warnings;\nuse Nimbrel;\n" + script);
        return run_file(dir.file("app.pl"), steps, pack);
    }
    // An icon file that the test backend reads as an image named by its text.
    std::string icon(const std::string& name) {
        write_text(dir.file(name), name + "-image");
        return dir.file(name);
    }
};

TEST_F(TrayGlue, IconsByNameAndTimersWithCodeReferences) {
    ProcResult r = run(R"(
        my @ids = map { my $n = $_; SetTimer('1s', sub { print "tick $n @_\n" }) } 1 .. 10;
        print "@ids\n";
        KillTimer($ids[2]);
        print After(5, sub { print "once @_\n" }), "\n";
        print SetIcon('red') // 'default', ' ', SetIcon('red'), ' ', SetIcon(), "\n";
        SetIcon('blue');)",
                       "timer 11; msg 275 3 0; timer 12; timer 12; timer 1",
                       {"--entry", "*ICON:red=" + icon("red"), "--entry", "*ICON:blue=" + icon("blue")});
    std::string set;
    for (int id : {1, 2, 3, 4, 5, 6, 7, 8, 9, 11}) set += "tray: set_timer " + std::to_string(id) + " 1000\n";
    EXPECT_EQ(r.out, kAdd4 + set +
                         "1 2 3 4 5 6 7 8 9 11\ntray: kill_timer 3\ntray: set_timer 12 10\n12\n"
                         // Each icon is loaded once; showing the icon shown already does nothing.
                         "tray: load_icon red-image\ntray: modify flags=0x2 icon=red-image\n"
                         "tray: modify flags=0x2 icon=default\ndefault red red\n"
                         "tray: load_icon blue-image\ntray: modify flags=0x2 icon=blue-image\n"
                         // The expiry of a killed timer reaches no handler; a one-shot timer
                         // is gone before its handler runs.
                         "> timer 11\ntick 10 11\n> msg 275 3 0\n> timer 12\ntray: kill_timer 12\nonce 12\n"
                         "> timer 12\ntray: timer 12 is not running\n> timer 1\ntick 1 1\n" +
                         kLoopEnd);
    EXPECT_EQ(r.err, "");
}

TEST_F(TrayGlue, EventsReachHandlersOrTheScriptsOwnSubs) {
    const std::string popup = "sub Nimbrel::PopupMenu { print \"PopupMenu\\n\"; '' }\n";
    const std::string click = "icon ldown; timer 10";
    const std::string clicked = "> icon ldown\ntray: set_timer 10 500\n> timer 10\ntray: kill_timer 10\n";
    struct Case {
        std::string script, steps, out, err;
    } cases[] = {
        {"OnClick(sub { print \"handler @_\\n\" });", click, clicked + "handler \n", ""},
        {"sub Click { print \"plain\\n\" }", click, clicked + "plain\n", ""},
        // No click handler, or one that dies: the popup menu, as without the library.
        {popup, click, clicked + "PopupMenu\n", ""},
        {popup + "OnClick(sub { print \"gone\\n\" }); OnClick(undef);", click, clicked + "PopupMenu\n", ""},
        {popup + "OnClick(sub { die \"broken\\n\" });", click, clicked + "PopupMenu\n",
         "Nimbrel: the Click handler failed: broken\n"},
        // A double click reaches only the double-click handler.
        {"OnClick(sub { print \"click\\n\" }); OnDoubleClick(sub { print \"double\\n\" });", "icon ldown; icon ldbl; timer 10",
         "> icon ldown\ntray: set_timer 10 500\n> icon ldbl\ntray: kill_timer 10\ndouble\n> timer 10\ntray: timer 10 is not running\n", ""},
        // A tool-tip handler's number is a tip; a fixed text too.
        {"OnToolTip(sub { 42 });", "icon move", "> icon move\ntray: modify flags=0x4 tip=\"42\"\n", ""},
        {"OnToolTip('fixed');", "icon move", "> icon move\ntray: modify flags=0x4 tip=\"fixed\"\n", ""},
        {"sub ToolTip { 'plain' }", "icon move", "> icon move\ntray: modify flags=0x4 tip=\"plain\"\n", ""},
        // A timer handler that dies is reported and keeps running.
        {"SetTimer(50, sub { die \"tick failed\\n\" });", "timer 1; timer 1",
         "tray: set_timer 1 50\n> timer 1\n> timer 1\n",
         "Nimbrel: the timer 1 handler failed: tick failed\nNimbrel: the timer 1 handler failed: tick failed\n"},
    };
    for (const Case& c : cases) {
        ProcResult r = run(c.script, c.steps);
        EXPECT_EQ(r.out, kAdd4 + c.out + kLoopEnd) << c.script;
        EXPECT_EQ(r.err, c.err) << c.script;
    }
}

TEST_F(TrayGlue, MenuItemsRunTheirActions) {
    ProcResult r = run(R"(
        END { print "END\n" }
        sub by_name { print "by name @_\n" }
        SetMenu(sub { print "menu asked\n"; [['&Open', sub { print "open @_\n" }], '-', ['Sub', [['Name', 'by_name']]],
            ['&Quit', sub { exit 4 }]] });)",
                       "menu 2; icon rup; posted; command 1; command 9; command 3");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.out, kAdd4 + "> menu 2\n> icon rup\nmenu asked\ntray: menu &Open id=1; -; [Sub: Name id=2]; &Quit id=3\n"
                             "tray: menu returns 2\n> posted\nby name Name\n> command 1\nopen &Open\n> command 9\n> command 3\n"
                             "END\ntray: delete id=100 flags=0x7\ntray: destroy_window\ntray: post_quit 4\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(TrayGlue, AnExitInANestedHandlerEndsTheProgramWithoutAWarning) {
    ProcResult r = run(R"(
        END { print "END\n" }
        SetTimer(1000, sub { exit 3 });
        SetTimer(1000, sub { Nimbrel::_SetTimer(99, 10); print "outer goes on\n" });)",
                       "post timer 1; modal; timer 2");
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.out.find("tray: modal loop\ntray: set_timer 99 10\nouter goes on\nEND\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");
}

TEST_F(TrayGlue, TheClockDemoRuns) {
    ProcResult r = run_file(kSource + "/examples/tray/clock.pl",
                            "shell 6; icon move; timer 1; icon ldown; timer 10; menu 7; icon rup; posted; icon move",
                            {"--entry", "*ICON=" + icon("low"), "--entry", "*ICON:medium=" + icon("medium"), "--entry",
                             "*ICON:high=" + icon("high")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const char* expected[] = {
        "^tray: load_icon low-image\ntray: add size=504 id=100 flags=0x7 msg=0x8000 icon=low-image tip=\"Nimbrel\"\n",
        "\ntray: load_icon medium-image\ntray: load_icon high-image\ntray: set_timer 1 5000\n",
        "\ntray: modify flags=0x10 info=\"Click for details, right-click for the menu.\" title=\"Clock\" kind=1 timeout=5000\n",
        "\n> icon move\ntray: modify flags=0x4 tip=\"\\d\\d:\\d\\d:\\d\\d - load \\d+\\.\\d\\d\"\n",
        "\n> timer 10\ntray: kill_timer 10\ntray: modify flags=0x10 info=\"\\w+ \\d+ \\w+ \\d{4}, \\d\\d:\\d\\d\n"
        "Load \\d+\\.\\d\\d, \\d+\\.\\d\\d, \\d+\\.\\d\\d \\(1, 5, 15 minutes\\) on \\d+ CPUs?\n\\d+ of \\d+ tasks running\nUp [^\"]+\" "
        "title=\"Clock - load (low|medium|high)\" kind=[12] timeout=10000\n",
        // The right click's menu; its Quit ends it.
        "\n> icon rup\ntray: menu &Details\\|Click id=1 default; &Warn on high load id=2 checked; \\[&Follow the load over: "
        "&1 minute id=3 checked radio; &5 minutes id=4 radio; 1&5 minutes id=5 radio\\]; -; Up [^;]+ id=6 grayed; -; "
        "&Quit\\|Double-click id=7\ntray: menu returns 7\n> posted\n"
        "tray: delete id=100 flags=0x7\ntray: destroy_window\ntray: post_quit 0\n> icon move\n$",
    };
    for (const char* pattern : expected) EXPECT_TRUE(std::regex_search(r.out, std::regex(pattern))) << pattern << "\nin:\n" << r.out;
}

}  // namespace
