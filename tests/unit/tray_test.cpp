// The tray host driven through the test backend: a script packed with the
// test host, the desktop's events given as steps, and the host's calls of
// the backend ("tray: ...") interleaved with what the script printed.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/proc_util.h"

namespace {

const std::string kBin = KV_BIN_DIR;
const std::string kHost = std::string(KV_TEST_LIBS_DIR) + "/kv_tray_host";
const std::string kAdd4 = "tray: add size=88 id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n";
const std::string kEnd = "tray: delete id=100 flags=0x7\ntray: destroy_window\n";

struct Tray : ::testing::Test {
    TempDir dir;
    TempDir tmp;  // the program's temporary path

    // Packs the script (after "$| = 1;") with the test host and runs it with
    // the steps; `pack` adds packer options.
    ProcResult run(const std::string& script, const std::string& steps, const std::vector<std::string>& pack = {}) {
        write_text(dir.file("app.pl"), "$| = 1;\n" + script);
        std::vector<std::string> args = {kBin + "/kovpack", "-q", "--no-bundle-libperl", "--host-exe", kHost};
        args.insert(args.end(), pack.begin(), pack.end());
        args.insert(args.end(), {dir.file("app.pl"), "-o", dir.file("app")});
        ProcResult packed = run_process(args);
        EXPECT_EQ(packed.status, 0) << packed.err;
        ProcResult r = run_process({dir.file("app")},
                                   {"TMPDIR=" + tmp.path, "KV_TRAY_STEPS=" + steps, "KOVRUN_DEBUG_LOG=" + dir.file("debug.log")});
        EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
        return r;
    }
    // The per-process directories left in the temporary path.
    int process_dirs() {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(tmp.path)) {
            std::string name = e.path().filename().string();
            n += std::count(name.begin(), name.end(), '-') >= 2;  // qrx-USER-PID-SUFFIX
        }
        return n;
    }
};

TEST_F(Tray, RecordSizeAndTipLengthFollowTheShellVersion) {
    struct Case {
        int shell, size, tip_limit;
        bool balloon;
    } cases[] = {{4, 88, 63, false}, {5, 488, 127, true}, {6, 504, 127, true}, {7, 88, 127, true}};
    for (const Case& c : cases) {
        ProcResult r = run("sub ToolTip { 'x' x 200 } Nimbrel::Balloon('hi');", "shell " + std::to_string(c.shell) + "; icon move");
        std::string balloon = c.balloon ? "tray: modify flags=0x10 info=\"hi\" title=\"\" kind=0 timeout=10000\n" : "";
        EXPECT_EQ(r.out, "tray: add size=" + std::to_string(c.size) + " id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n" +
                             balloon + "> shell " + std::to_string(c.shell) + "\n> icon move\ntray: modify flags=0x4 tip=\"" +
                             std::string(c.tip_limit, 'x') + "\"\ntray: loop ended by the test\n" + kEnd + "tray: post_quit 0\n")
            << "shell " << c.shell;
    }
}

TEST_F(Tray, ClicksDoubleClicksAndThePopupPath) {
    const std::string with_click = "sub Click { print \"Click\\n\" } sub Nimbrel::DoubleClick { print \"DoubleClick\\n\" }";
    const std::string popup = "sub Nimbrel::PopupMenu { print \"PopupMenu\\n\"; 'template' }";
    struct Case {
        std::string script, steps, out;
    } cases[] = {
        // One click: one "Click", once the double-click time has passed.
        {with_click, "dclick 300; icon ldown; icon lup; timer 10; timer 10",
         "> dclick 300\n> icon ldown\ntray: set_timer 10 300\n> icon lup\n> timer 10\ntray: kill_timer 10\nClick\n> timer 10\n"
         "tray: timer 10 is not running\n"},
        // A double click: only "Nimbrel::DoubleClick".
        {with_click, "icon ldown; icon lup; icon ldbl; icon lup; timer 10",
         "> icon ldown\ntray: set_timer 10 500\n> icon lup\n> icon ldbl\ntray: kill_timer 10\nDoubleClick\n> icon lup\n> timer 10\n"
         "tray: timer 10 is not running\n"},
        // No "Click" sub, or one that dies: the popup menu.
        {popup, "icon ldown; timer 10", "> icon ldown\ntray: set_timer 10 500\n> timer 10\ntray: kill_timer 10\nPopupMenu\n"},
        {popup + " sub Click { die }", "icon ldown; timer 10",
         "> icon ldown\ntray: set_timer 10 500\n> timer 10\ntray: kill_timer 10\nPopupMenu\n"},
        // The menu opens on the right button's release.
        {popup, "icon rdown; icon rup", "> icon rdown\n> icon rup\nPopupMenu\n"},
    };
    for (const Case& c : cases) {
        ProcResult r = run(c.script, c.steps);
        EXPECT_EQ(r.out, kAdd4 + c.out + "tray: loop ended by the test\n" + kEnd + "tray: post_quit 0\n") << c.steps;
    }
}

TEST_F(Tray, ThePopupMenuShowsTheTemplateAndPostsTheChoice) {
    // Templates in the standard form: a header, then items with option word,
    // identifier (none for a popup) and UTF-16LE text.
    const std::string helpers = R"(
        sub Nimbrel::Command { print "command @_\n" }
        sub text { pack('v*', unpack('U*', $_[0]), 0) }
        sub item { pack('vv', $_[0], $_[1]) . text($_[2]) }
        sub popup { pack('v', $_[0]) . text($_[1]) }
        sub box { print 'box ', Nimbrel::MessageBox('t', 'c', 0), "\n" }
        Nimbrel::_SetTimer(3, 1000);
        sub Nimbrel::Timer { if ($_[0] == 3) { Nimbrel::_SetTimer(99, 10) } elsif ($_[0] == 4) { exit 3 } else { box() } }
    )";
    const std::string two =
        "sub Nimbrel::PopupMenu { print \"PopupMenu\\n\"; pack('vv', 0, 0) . popup(0x90, 'M') . item(0, 1, \"&One\\tCtrl+O\") . "
        "item(0x80, 2, 'Two') }";
    const std::string plain = "sub Nimbrel::PopupMenu { print \"PopupMenu\\n\"; pack('vv', 0, 0) . item(0x80, 5, 'X') }";
    const std::string menu = "tray: menu &One|Ctrl+O id=1; Two id=2\n";
    struct Case {
        std::string script, steps, out;
    } cases[] = {
        // The command arrives after the menu has closed, as a posted event.
        {two, "menu 2; icon rup; posted",
         "> menu 2\n> icon rup\nPopupMenu\n" + menu + "tray: menu returns 2\n> posted\ncommand 2\n"},
        // Dismissed: no command.
        {two, "icon rup; posted", "> icon rup\nPopupMenu\n" + menu + "tray: menu returns 0\n> posted\n"},
        // A plain command as the only top-level item: nothing is shown.
        {plain, "icon rup", "> icon rup\nPopupMenu\n"},
        // While a box is open the click raises it and asks for no menu.
        {two, "post icon rup; timer 5",
         "> post icon rup\n> timer 5\ntray: message_box style=0x0 caption=\"c\" text=\"t\"\ntray: raise_box\n"
         "tray: message_box returns 1\nbox 1\n"},
        // After the quit started the click does nothing.
        {two, "post timer 4; post icon rup; modal; timer 3", ""},
    };
    for (Case& c : cases) {
        if (c.steps.find("timer 5") != std::string::npos) c.script += " Nimbrel::_SetTimer(5, 1000);";
        ProcResult r = run(helpers + c.script, c.steps);
        if (c.out.empty()) {
            EXPECT_EQ(r.status, 3) << c.steps;
            EXPECT_EQ(r.out.find("PopupMenu"), std::string::npos) << r.out;
            EXPECT_EQ(r.out.find("raise_box"), std::string::npos) << r.out;
        } else {
            EXPECT_EQ(r.out, kAdd4 + "tray: set_timer 3 1000\n" + (c.steps.find("timer 5") != std::string::npos ? "tray: set_timer 5 1000\n" : "") +
                                 c.out + "tray: loop ended by the test\n" + kEnd + "tray: post_quit 0\n")
                << c.steps;
        }
    }
}

// The menu that a desktop draws itself: filled from the script's popup menu
// when the desktop is about to show it, refreshed after a choice.
TEST_F(Tray, TheExportedMenuGetsTheScriptsItems) {
    const std::string helpers = R"(
        sub Nimbrel::Command { print "command @_\n" }
        sub text { pack('v*', unpack('U*', $_[0]), 0) }
        sub item { pack('vv', $_[0], $_[1]) . text($_[2]) }
        my $plain;
        sub Nimbrel::PopupMenu {
            print "PopupMenu\n";
            return pack('vv', 0, 0) . item(0x80, 5, 'X') if $plain;
            pack('vv', 0, 0) . pack('v', 0x90) . text('M') . item(0, 1, "&One\tCtrl+O") . item(0, 0, '') . item(0x01, 2, 'Gray')
                . item(0x08 | 0x80, 3, 'Check')
        }
        sub Nimbrel::Timer { if ($_[0] == 4) { exit 3 } elsif ($_[0] == 6) { $plain = 1 } elsif ($_[0] == 5) { print 'box ', Nimbrel::MessageBox('t', 'c', 0), "\n" } else { Nimbrel::_SetTimer(99, 10) } }
        Nimbrel::_SetTimer($_, 1000) for 3, 5, 6;
    )";
    const std::string timers = "tray: set_timer 3 1000\ntray: set_timer 5 1000\ntray: set_timer 6 1000\n";
    const std::string items = "tray: icon_menu &One|Ctrl+O id=1; -; Gray id=2 grayed; Check id=3 checked\n";
    const std::string empty = "tray: icon_menu (empty)\n";
    struct Case {
        std::string steps, out;
        int status;
    } cases[] = {
        {"iconmenu", "> iconmenu\nPopupMenu\n" + items, 0},
        // A choice: the command, then the items again.
        {"iconchoose 65538; posted", "> iconchoose 65538\n> posted\ncommand 2\nPopupMenu\n" + items, 0},
        // A plain command as the only top-level item: an empty menu.
        {"timer 6; iconmenu", "> timer 6\n> iconmenu\nPopupMenu\n" + empty, 0},
        // While a box is open: the box comes to the front, the menu is empty
        // and the script is not asked; a refresh changes nothing.
        {"post msg 0x8003 1 0; post msg 0x8003 0 0; timer 5",
         "> post msg 0x8003 1 0\n> post msg 0x8003 0 0\n> timer 5\ntray: message_box style=0x0 caption=\"c\" text=\"t\"\ntray: raise_box\n" + empty +
             "tray: message_box returns 1\nbox 1\n",
         0},
        // After the quit started: an empty menu, the script not asked.
        {"post timer 4; post msg 0x8003 1 0; modal; timer 3",
         "> post timer 4\n> post msg 0x8003 1 0\n> modal\n> timer 3\ntray: modal loop\n" + empty + "tray: set_timer 99 10\n" + kEnd +
             "tray: post_quit 3\n",
         3},
    };
    for (const Case& c : cases) {
        ProcResult r = run(helpers, c.steps);
        std::string end = c.status ? "" : "tray: loop ended by the test\n" + kEnd + "tray: post_quit 0\n";
        EXPECT_EQ(r.out, kAdd4 + timers + c.out + end) << c.steps;
        EXPECT_EQ(r.status, c.status) << c.steps;
    }
}

TEST_F(Tray, CommandsAndTimersReachTheScriptAsDecimalText) {
    ProcResult r = run(R"(
        sub Nimbrel::Command { print "command @_\n" }
        sub Nimbrel::Timer { print "timer @_\n" }
        Nimbrel::_SetTimer($_, 1000) for 3, 4294967295, 10;
        Nimbrel::_SetTimer(4, 0);)",
                       "command 7; command 65541; timer 3; timer 4294967295; timer 4; timer 10; timer 10");
    EXPECT_EQ(r.out, kAdd4 + "tray: set_timer 3 1000\ntray: set_timer 4294967295 1000\ntray: set_timer 10 1000\n"
                             "tray: set_timer 4 10\n> command 7\ncommand 7\n> command 65541\ncommand 5\n> timer 3\ntimer 3\n"
                             "> timer 4294967295\ntimer -1\n> timer 4\ntimer 4\n> timer 10\ntray: kill_timer 10\n> timer 10\n"
                             "tray: timer 10 is not running\ntray: loop ended by the test\n" +
                             kEnd + "tray: post_quit 0\n");
}

TEST_F(Tray, ToolTipChangesTheTipOnlyWithNewText) {
    ProcResult r = run(R"(
        my @tips = ('a', 'a', 'z' x 127 . '1', 'z' x 127 . '2', 42, undef, "caf\x{e9}", 'b');
        sub ToolTip { shift @tips })",
                       "shell 6; icon move; icon move; icon move; icon move; icon move; icon move; icon move; icon move");
    std::string move = "> icon move\n";
    EXPECT_EQ(r.out, "tray: add size=504 id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n> shell 6\n" + move +
                         "tray: modify flags=0x4 tip=\"a\"\n" + move + move + "tray: modify flags=0x4 tip=\"" +
                         std::string(127, 'z') + "\"\n" + move + move + move + move + "tray: modify flags=0x4 tip=\"caf\xc3\xa9\"\n" +
                         move + "tray: modify flags=0x4 tip=\"b\"\ntray: loop ended by the test\n" + kEnd + "tray: post_quit 0\n");
}

TEST_F(Tray, ExitQuitsWithItsStatusAndEndBlocksRunOnce) {
    const std::string subs = R"(
        END { print "END ran, status $?\n" }
        sub Nimbrel::Timer { print "timer @_\n"; exit 3 if $_[0] == 3; Nimbrel::_SetTimer(99, 5) if $_[0] == 4 }
        sub Nimbrel::Command { print "command @_\n" }
        sub ToolTip { print "tool tip exits\n"; exit 9 }
        Nimbrel::_SetTimer($_, 1000) for 3, 4;
        Kovar::get_temp_dir(1);)";
    struct Case {
        std::string script, steps, out;
        int status;
    } cases[] = {
        // An exit in an event quits; what comes after it reaches nothing.
        {subs, "timer 3; command 1; icon ldown",
         "> timer 3\ntimer 3\nEND ran, status 3\n" + kEnd + "tray: post_quit 3\n> command 1\n> icon ldown\n", 3},
        // An exit in "ToolTip" is absorbed: the tray goes on.
        {subs, "icon move; command 2",
         "> icon move\ntool tip exits\n> command 2\ncommand 2\ntray: loop ended by the test\nEND ran, status 0\n" + kEnd +
             "tray: post_quit 0\n",
         0},
        // An END block that exits ends only the END run.
        {"END { print \"not run\\n\" } END { print \"exits\\n\"; exit 5 } sub Nimbrel::Timer { exit 2 } Nimbrel::_SetTimer(1, 50);",
         "timer 1", "tray: set_timer 1 50\n> timer 1\nexits\n" + kEnd + "tray: post_quit 5\n", 5},
        // Exit inside a nested event: the outer event finishes first.
        {subs, "post timer 3; modal; timer 4",
         "> post timer 3\n> modal\n> timer 4\ntimer 4\ntray: modal loop\ntimer 3\ntray: set_timer 99 10\nEND ran, status 3\n" +
             kEnd + "tray: post_quit 3\n",
         3},
        // Events queued while the quit sequence runs do nothing.
        {subs + " END { Nimbrel::_SetTimer(98, 10) }", "post command 4; modal; timer 3",
         "> post command 4\n> modal\n> timer 3\ntimer 3\ntray: modal loop\ntray: set_timer 98 10\nEND ran, status 3\n" + kEnd +
             "tray: post_quit 3\n",
         3},
        // A termination signal runs the quit sequence from the loop.
        {subs, "signal 15; command 3", "> signal 15\nEND ran, status 143\n" + kEnd + "tray: post_quit 143\n> command 3\n", 143},
    };
    for (const Case& c : cases) {
        ProcResult r = run(c.script, c.steps);
        std::string timers = c.script.rfind(subs, 0) == 0 ? "tray: set_timer 3 1000\ntray: set_timer 4 1000\n" : "";
        EXPECT_EQ(r.out, kAdd4 + timers + c.out) << c.steps;
        EXPECT_EQ(r.status, c.status) << c.steps;
        EXPECT_EQ(process_dirs(), 0) << c.steps;
    }
}

TEST_F(Tray, TheFirstQuitWinsAndTheQuitSequenceRunsOnce) {
    // Timer 1 opens a box and exits 4 once it has closed; timers 2 and 3
    // exit with their number; timer 6 leaves the interpreter with CORE::exit.
    // The menu's one item is 2; the command exits 5.
    const std::string script = R"(
        END { print "END ran, status $?\n" }
        sub Nimbrel::Timer {
            my $id = shift; print "timer $id\n";
            CORE::exit(6) if $id == 6;
            exit $id unless $id == 1;
            print 'box ', Nimbrel::MessageBox('t'), "\n"; exit 4;
        }
        sub Nimbrel::Command { print "command @_\n"; exit 5 }
        sub Nimbrel::PopupMenu { pack('vvv', 0, 0, 0x90) . pack('v*', 77, 0, 0x80, 2) . pack('v*', unpack('U*', 'Quit'), 0) }
        Nimbrel::_SetTimer(1, 1000);)";
    const std::string box = "tray: message_box style=0x0 caption=\"Nimbrel\" text=\"t\"\n";
    const std::string end = kEnd + "tray: post_quit ";
    const std::string end_exits = " END { print \"END exits\\n\"; exit 7 }";
    struct Case {
        std::string script, steps, out;
        int status;
    } cases[] = {
        // Both due in one pass: the second finds the quit done.
        {script, "post timer 2; post timer 3; posted", "> post timer 2\n> post timer 3\n> posted\ntimer 2\nEND ran, status 2\n" + end + "2\n", 2},
        // One exits inside the other's box: the box closes, the next timer
        // never runs, and the outer sub's own exit is ignored.
        {script, "post timer 2; post timer 3; timer 1",
         "> post timer 2\n> post timer 3\n> timer 1\ntimer 1\n" + box + "timer 2\ntray: close_box\ntray: message_box returns 2\nbox 2\n"
         "END ran, status 2\n" + end + "2\n",
         2},
        // A menu's command exits after the menu has closed.
        {script, "menu 2; icon rup; posted; command 2",
         "> menu 2\n> icon rup\ntray: menu Quit id=2\ntray: menu returns 2\n> posted\ncommand 2\nEND ran, status 5\n" + end + "5\n> command 2\n", 5},
        // A timer exits while the menu is open: the choice goes nowhere.
        {script, "menu 2; post timer 3; icon rup; posted",
         "> menu 2\n> post timer 3\n> icon rup\ntray: menu Quit id=2\ntimer 3\nEND ran, status 3\n" + end + "3\ntray: menu returns 2\n> posted\n", 3},
        // An END block's exit sets the status, also after a quit that waited.
        {script + end_exits, "post timer 2; timer 1",
         "> post timer 2\n> timer 1\ntimer 1\n" + box + "timer 2\ntray: close_box\ntray: message_box returns 2\nbox 2\nEND exits\n" + end + "7\n", 7},
        // ... and after an exit that unwound beneath the box's caller.
        {script + end_exits, "post timer 6; timer 1",
         "> post timer 6\n> timer 1\ntimer 1\n" + box + "timer 6\nEND exits\ntray: delete id=100 flags=0x7\n", 7},
    };
    for (const Case& c : cases) {
        ProcResult r = run(c.script, c.steps);
        EXPECT_EQ(r.out, kAdd4 + "tray: set_timer 1 1000\n" + c.out) << c.steps;
        EXPECT_EQ(r.status, c.status) << c.steps;
        EXPECT_EQ(r.err, "") << c.steps;
        EXPECT_EQ(process_dirs(), 0) << c.steps;
    }
}

TEST_F(Tray, AMainProgramThatFailsEndsAtOnceWithItsStatus) {
    struct Case {
        std::string script;
        int status;
    } cases[] = {{"END { print \"not run\\n\" } exit 4;", 4}, {"die 'broken';", 255},
                   // Compiles when packed, not when run.
                   {"BEGIN { die 'no compile' if defined $ENV{KV_TRAY_STEPS} }", 255}};
    for (const Case& c : cases) {
        ProcResult r = run(c.script, "icon ldown");
        EXPECT_EQ(r.out, kAdd4 + kEnd + "tray: post_quit " + std::to_string(c.status) + "\n") << c.script;
        EXPECT_EQ(r.status, c.status) << c.script;
    }
}

TEST_F(Tray, AnExitThatUnwindsBeneathAnOuterEventEndsTheProgramAtOnce) {
    ProcResult r = run(R"(
        END { print "END ran\n" }
        sub Nimbrel::Timer { if ($_[0] == 4) { Nimbrel::_SetTimer(99, 10); print "not reached\n" } else { CORE::exit(6) } }
        Nimbrel::_SetTimer(4, 1000);)",
                       "post timer 3; modal; timer 4");
    EXPECT_EQ(r.out, kAdd4 + "tray: set_timer 4 1000\n> post timer 3\n> modal\n> timer 4\ntray: modal loop\nEND ran\ntray: delete id=100 flags=0x7\n");
    EXPECT_EQ(r.status, 6);
}

TEST_F(Tray, AForkedChildEndsWithoutTouchingTheTray) {
    ProcResult r = run(R"(
        $main::parent = $$;
        END { print $$ == $main::parent ? "parent END\n" : "child END\n" }
        sub Nimbrel::Command {
            if (my $pid = fork) { waitpid $pid, 0 } else { return }
            print "directory kept: ", (-d Kovar::get_temp_dir(1) ? "yes" : "no"), "\n";
        })",
                       "command 1");
    EXPECT_EQ(r.out, kAdd4 + "> command 1\nchild END\ndirectory kept: yes\ntray: loop ended by the test\nparent END\n" + kEnd +
                         "tray: post_quit 0\n");
    EXPECT_EQ(process_dirs(), 0);
}

TEST_F(Tray, BalloonFields) {
    ProcResult r = run(R"(
        Nimbrel::Balloon();
        Nimbrel::Balloon('x' x 300, 't' x 100, 'Error', 0);
        Nimbrel::Balloon('a', 5, 'e', 3);
        Nimbrel::Balloon('b', 'T', $_) for 'info', 'WARN', 'none', '', 'x', 7;)",
                       "shell 5");
    std::string expected = "tray: add size=488 id=100 flags=0x7 msg=0x8000 icon=default tip=\"Nimbrel\"\n"
                           "tray: modify flags=0x10 info=\"" +
                           std::string(255, 'x') + "\" title=\"" + std::string(63, 't') + "\" kind=3 timeout=0\n" +
                           "tray: modify flags=0x10 info=\"a\" title=\"\" kind=3 timeout=3000\n";
    for (int kind : {1, 2, 0, 0, 0, 0}) expected += "tray: modify flags=0x10 info=\"b\" title=\"T\" kind=" + std::to_string(kind) + " timeout=10000\n";
    EXPECT_EQ(r.out, expected + "> shell 5\ntray: loop ended by the test\n" + kEnd + "tray: post_quit 0\n");
}

TEST_F(Tray, DebugWritesItsArgumentsJoined) {
    ProcResult r = run("Nimbrel::debug(); Nimbrel::debug('x'); Nimbrel::debug('a', 'b', 3);", "");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_text(dir.file("debug.log")), "xab3");
}

TEST_F(Tray, IconsByNameAndNumberAndTheDefault) {
    write_text(dir.file("red"), "red-image");
    write_text(dir.file("blue"), "blue-image");
    write_text(dir.file("green"), "green-image");
    write_text(dir.file("junk"), "\x01\x02");
    ProcResult r = run(R"(
        my $red = Nimbrel::_LoadIcon('red');
        print join(' ', $red, map(Nimbrel::_LoadIcon($_), 'red', '#2', '#02', '#1', 'missing', 'junk')), "\n";
        print Nimbrel::_SetIcon($_), "\n" for $red, 0, 0, 12345, 'text', $red;
        sub ToolTip { 'tip' })",
                       "icon move; taskbar", {"--entry", "*ICON:red=" + dir.file("red"), "--entry", "*ICON:#2=" + dir.file("blue"),
                                              "--entry", "*ICON=" + dir.file("green"), "--entry", "*ICON:junk=" + dir.file("junk")});
    EXPECT_EQ(r.out, "tray: load_icon green-image\ntray: add size=88 id=100 flags=0x7 msg=0x8000 icon=green-image tip=\"Nimbrel\"\n"
                     "tray: load_icon red-image\ntray: load_icon blue-image\n2 2 3 3 1 0 0\n"
                     "tray: modify flags=0x2 icon=red-image\n1\ntray: modify flags=0x2 icon=green-image\n2\n"
                     "tray: modify flags=0x2 icon=green-image\n1\ntray: modify flags=0x2 icon=green-image\n1\n"
                     "tray: modify flags=0x2 icon=green-image\n1\ntray: modify flags=0x2 icon=red-image\n1\n"
                     // The taskbar's return restores the last icon and tip.
                     "> icon move\ntray: modify flags=0x4 tip=\"tip\"\n> taskbar\n"
                     "tray: add size=88 id=100 flags=0x7 msg=0x8000 icon=red-image tip=\"tip\"\n"
                     "tray: loop ended by the test\n" +
                         kEnd + "tray: post_quit 0\n");
}

TEST_F(Tray, WideCharGivesUtf16LittleEndian) {
    ProcResult r = run(R"(
        my $latin = "\xe9"; my $upgraded = "\xe9"; utf8::upgrade($upgraded);
        print join(' ', map unpack('H*', Nimbrel::_WideChar($_)), 'AB', '', "a\0b", $latin, $upgraded, "\x{263a}", "\x{1F600}"), "\n";)",
                       "");
    EXPECT_EQ(r.out, kAdd4 + "41004200  610000006200 e900 e900 3a26 3dd800de\ntray: loop ended by the test\n" + kEnd + "tray: post_quit 0\n");
}

}  // namespace

namespace {

// The bare host carries no archive, so neither a backend nor a script.
TEST(TrayHost, WithoutAnArchiveItSaysSoInOneLine) {
    ProcResult r = run_process({kBin + "/nimbrel"}, {"KOVRUN_DEBUG_LOG=/dev/null"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Panic: Can't find bfs section\n");
}

}  // namespace
