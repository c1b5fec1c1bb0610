// The script's tray library (perl/Nimbrel.pm) in a packed program on the
// test backend: what its functions make the host do, and which of the
// script's handlers the host's events reach (downloads from the tests'
// loopback server). Also the clock demo.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>

#include "tests/support/loopback_server.h"
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
    ProcResult run_file(const std::string& script, const std::string& steps, const std::vector<std::string>& pack = {},
                        const std::vector<std::string>& env = {}) {
        std::vector<std::string> args = {kBin + "/kovpack", "-q", "--no-bundle-libperl", "--host-exe", kHost, "-I", kSource + "/perl"};
        args.insert(args.end(), pack.begin(), pack.end());
        args.insert(args.end(), {script, "-o", dir.file("app")});
        ProcResult packed = run_process(args);
        EXPECT_EQ(packed.status, 0) << packed.err;
        // Downloads go straight to the loopback server.
        std::vector<std::string> all = {"TMPDIR=" + tmp.path, "KV_TRAY_STEPS=" + steps, "KOVRUN_DEBUG_LOG=/dev/null", "http_proxy",
                                        "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
        all.insert(all.end(), env.begin(), env.end());
        return run_process({dir.file("app")}, all);
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

// The lines of `text`, sorted.
std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(TrayGlue, DownloadsReachTheirHandlers) {
    LoopbackServer server;
    server.start(kSource + "/tests/support/http_server.py");
    ASSERT_GT(server.http, 0) << "the loopback server did not start";
    std::string base = server.base(), closed = server.closed_url();
    ProcResult r = run("my ($base, $closed) = ('" + base + "', '" + closed + R"(');
        my $pattern = substr(join('', map { chr } 0 .. 250) x 400, 0, 100000);
        my $url = "$base/bytes/100000";
        Download($url, sub { my ($body, $url) = @_; print 'body ', length $body, ' ', ($body eq $pattern ? 'ok' : 'WRONG'), " $url\n" },
            sub { print "WRONG @_\n" });
        $url = 'changed meanwhile';
        Download("$base/missing", sub { print "missing: $_[0]\n" });
        Download("$closed/a", sub { print "WRONG body\n" }, sub { my ($error, $url) = @_; print "error $url: $error\n" });
        Download("$base/nul", sub { die "broken\n" });
        Download("$closed/b", sub { }, sub { die "error broken\n" });
        Download("$closed/c", sub { print "WRONG body\n" });
        # The host's own interface beside the library's.
        OnDownload(sub { print 'other: ', join('|', map { $_ // 'undef' } @_), "\n" });
        Nimbrel::Download("$base/slow/0/raw", 'name');
        Nimbrel::Download("$base/slow/0/code", sub { print "code: @_\n" });
        Nimbrel::Download("$closed/d", 'gone');
        Nimbrel::Download("$closed/e", sub { print "WRONG code\n" });
        # The handler's copy of the body shares the host's buffer: a large
        # body is neither copied nor held twice.
        use B ();
        my $dispatch = \&Nimbrel::Internet;
        { no warnings 'redefine'; *Nimbrel::Internet = sub { &$dispatch; print 'content ', shared($_[0]), "\n" if $_[2] =~ /bytes/ } }
        sub shared { B::svref_2object(\$_[0])->FLAGS & B::SVf_IsCOW ? 'shared' : 'copied' })",
                       "await 10");
    std::string refused = ") failed: 7 (Couldn't connect to server)";
    EXPECT_EQ(sorted_lines(r.out),
              sorted_lines("tray: add size=88 id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n> await 10\n"
                           "body 100000 ok " + base + "/bytes/100000\ncontent shared\nmissing: no such page\n"
                           "error " + closed + "/a: InternetOpenUrl(" + closed + "/a" + refused + "\n"
                           "other: raw|name|" + base + "/slow/0/raw\ncode: code " + base + "/slow/0/code\n"
                           "other: undef|gone|" + closed + "/d|InternetOpenUrl(" + closed + "/d" + refused + "\n" + kLoopEnd));
    EXPECT_EQ(sorted_lines(r.err), sorted_lines("Nimbrel: the download handler failed: broken\n"
                                                "Nimbrel: the download error handler failed: error broken\n"));
    EXPECT_EQ(r.status, 0);
    server.stop();
}

TEST_F(TrayGlue, DownloadsEndTheProgramOrGiveWayToTheScriptsOwnSubs) {
    LoopbackServer server;
    server.start(kSource + "/tests/support/http_server.py");
    ASSERT_GT(server.http, 0) << "the loopback server did not start";
    // An exit in a handler ends the program with its status.
    ProcResult r = run("END { print \"END $?\\n\" }\nDownload('" + server.base() + "/empty', sub { exit 5 });", "await 1; command 1");
    EXPECT_EQ(r.out, kAdd4 + "> await 1\nEND 5\ntray: delete id=100 flags=0x7\ntray: destroy_window\ntray: post_quit 5\n> command 1\n");
    EXPECT_EQ(r.status, 5);
    // A script that defines either sub itself does not use the library's downloads.
    for (const char* sub : {"Internet", "DownloadFailed"}) {
        r = run(std::string("sub Nimbrel::") + sub + " { }\neval { Download('http://127.0.0.1/', sub { }) }; print $@ =~ s/ at .*//sr, \"\\n\";",
                "");
        EXPECT_EQ(r.out, kAdd4 + "Nimbrel::Download: the script defines its own sub Nimbrel::" + sub + "; use either of them\n" + kLoopEnd);
    }
    server.stop();
}

TEST_F(TrayGlue, TheClockDemoRuns) {
    // Its network check goes to a port where nothing listens: it fails, and says so.
    LoopbackServer server;
    server.start(kSource + "/tests/support/http_server.py");
    ASSERT_GT(server.http, 0) << "the loopback server did not start";
    ProcResult r = run_file(kSource + "/examples/tray/clock.pl",
                            "shell 6; icon move; timer 1; icon ldown; timer 10; menu 6; icon rup; posted; await 1 queue; "
                            "icon rup; posted; menu 8; icon rup; posted; icon move",
                            {"--entry", "*ICON=" + icon("low"), "--entry", "*ICON:medium=" + icon("medium"), "--entry",
                             "*ICON:high=" + icon("high")},
                            {"CLOCK_CHECK_URL=" + server.closed_url() + "/status"});
    server.stop();
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
        // The right click's menu: its network check fails (the failure
        // comes while the menu, which shows the check running, is open); its
        // Quit ends the program.
        "\n> icon rup\ntray: menu &Details\\|Click id=1 default; &Warn on high load id=2 checked; \\[&Follow the load over: "
        "&1 minute id=3 checked radio; &5 minutes id=4 radio; 1&5 minutes id=5 radio\\]; Check &network id=6; -; Up [^;]+ id=7 grayed; "
        "-; &Quit\\|Double-click id=8\ntray: menu returns 6\n> posted\n> await 1 queue\n"
        "> icon rup\ntray: menu .*; Checking the network... id=6 grayed; .*\ntray: modify flags=0x10 info=\"127.0.0.1 cannot be reached \\(after \\d+\\.\\d\\d s\\):\nCouldn't connect to server.\" "
        "title=\"Clock - network\" kind=2 timeout=10000\ntray: menu returns 0\n> posted\n> menu 8\n> icon rup\ntray: menu .*; Check &network id=6; .*\ntray: menu returns 8\n> posted\n"
        "tray: delete id=100 flags=0x7\ntray: destroy_window\ntray: post_quit 0\n> icon move\n$",
    };
    for (const char* pattern : expected) EXPECT_TRUE(std::regex_search(r.out, std::regex(pattern))) << pattern << "\nin:\n" << r.out;
}

}  // namespace
