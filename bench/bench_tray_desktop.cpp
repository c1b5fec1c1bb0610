// A packed tray program on a real display and tray, against the smallest Qt
// tray program (qt_minimal_tray, built with the benchmarks) on the same
// display and tray, in the same run: the time from the start to the icon
// being in the tray, the CPU time of the idle program over a period, and its
// peak memory.
//
//   bench_tray_desktop [ROUNDS] [IDLE_SECONDS]   (default 5 rounds, 10 seconds)
//
// The benchmark starts its own virtual X server (Xvfb) and XEmbed tray
// (trayer), and ends them, the programs and its files on every way out,
// also when it is interrupted (SIGINT, SIGTERM, SIGHUP). The icon counts as
// in the tray once its window has been embedded in the tray's window
// (xwininfo, polled every 10 ms). The packed program is a minimal script
// with the same icon file as the Qt program. Its icon is up before the
// script is compiled, so the time until the script's main program has run
// (it then makes a file) is reported as well; so is its first start, which
// writes the cached libraries.
//
//   bench_tray_desktop menu [ROUNDS]   (default 10 rounds)
//
// The time from a right click on the icon to its 200-item popup menu being
// on screen: a packed script whose menu (SetMenu) has 200 items, against
// qt_menu_tray, which builds the same menu as a QMenu on each right click,
// both in the tray at once and clicked in turn. The click is made with the
// XTest extension (from libXtst, loaded when it is there; else with
// xdotool, whose start then counts in both figures); the menu counts as on
// screen when the X server reports the map of its window. Escape closes it
// again.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace {

namespace fs = std::filesystem;

sigset_t g_quit_signals;  // blocked in this process; a pending one ends the benchmark
bool g_interrupted = false;
std::vector<pid_t> g_children;  // started and not yet reaped, the X server first
std::string g_dir;

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

// Waits `ms` milliseconds; false (at once) when a quit signal came.
bool pause_ms(long ms) {
    if (g_interrupted) return false;
    timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    long long end = now_ns() + ms * 1000000LL;
    for (;;) {
        int sig = sigtimedwait(&g_quit_signals, nullptr, &t);
        if (sig > 0) {
            fprintf(stderr, "bench_tray_desktop: interrupted (signal %d)\n", sig);
            g_interrupted = true;
            return false;
        }
        long long left = end - now_ns();
        if (left <= 0) return true;
        t = {static_cast<time_t>(left / 1000000000LL), static_cast<long>(left % 1000000000LL)};
    }
}

// Starts argv with standard output and error to `log` (or /dev/null), and
// `fd3` (when not -1) as its descriptor 3.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log = "/dev/null", int fd3 = -1) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        sigprocmask(SIG_UNBLOCK, &g_quit_signals, nullptr);
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (in >= 0) dup2(in, 0);
        if (fd3 == 3) fcntl(3, F_SETFD, 0);
        else if (fd3 >= 0) dup2(fd3, 3);
        std::vector<char*> args;
        for (const auto& s : argv) args.push_back(const_cast<char*>(s.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    if (pid > 0) g_children.push_back(pid);
    return pid;
}

bool ended(pid_t pid, int* status = nullptr) {
    int s = 0;
    pid_t r = waitpid(pid, &s, WNOHANG);
    if (r == 0) return false;
    g_children.erase(std::remove(g_children.begin(), g_children.end(), pid), g_children.end());
    if (status) *status = s;
    return true;
}

// SIGTERM, up to 10 seconds, then SIGKILL. The wait status.
int stop(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ended(pid, &status)) return status;
    kill(pid, SIGTERM);
    for (int i = 0; i < 1000; i++) {
        if (ended(pid, &status)) return status;
        struct timespec t = {0, 10000000L};
        nanosleep(&t, nullptr);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    g_children.erase(std::remove(g_children.begin(), g_children.end(), pid), g_children.end());
    return status;
}

// Ends what was started, the newest first (the X server last), and removes
// the benchmark's files.
void cleanup() {
    while (!g_children.empty()) stop(g_children.back());
    std::error_code ec;
    if (!g_dir.empty()) fs::remove_all(g_dir, ec);
}

// Runs argv (no shell) and returns its standard output; empty on failure.
std::string capture(const std::vector<std::string>& argv) {
    std::string out;
    return capture_output(argv, nullptr, ChildStderr::discard, 0, &out) ? out : "";
}

bool installed(const char* tool) {
    return capture({"sh", "-c", std::string("command -v ") + tool}).size() > 0;
}

// The tray's panel window ("0x..."), or empty while there is none.
std::string tray_window() {
    std::istringstream in(capture({"xwininfo", "-root", "-tree"}));
    std::string line;
    while (std::getline(in, line))
        if (line.find("(\"panel\" \"trayer\")") != std::string::npos) {
            size_t at = line.find("0x");
            return at == std::string::npos ? "" : line.substr(at, line.find(' ', at) - at);
        }
    return "";
}

// True when a window of the program `name` (its X class) is inside the tray.
bool icon_in_tray(const std::string& tray, const std::string& name) {
    return capture({"xwininfo", "-id", tray, "-tree"}).find("(\"" + name + "\" ") != std::string::npos;
}

// ---- what a process used -------------------------------------------------------------
// CPU time in milliseconds from /proc/PID/stat (utime + stime of every
// thread, in clock ticks); -1 when it cannot be read.
double cpu_ms_stat(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close_paren = text.rfind(')');
    if (close_paren == std::string::npos) return -1;
    std::istringstream fields(text.substr(close_paren + 2));
    std::string f;
    long long utime = 0, stime = 0;
    // Fields from the third on: state is the third, utime the 14th, stime the 15th.
    for (int i = 3; i <= 15 && fields >> f; i++) {
        if (i == 14) utime = atoll(f.c_str());
        if (i == 15) stime = atoll(f.c_str());
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// CPU time in milliseconds of the threads alive now, to the nanosecond
// (/proc/PID/task/*/schedstat); -1 when it cannot be read.
double cpu_ms_sched(pid_t pid) {
    std::error_code ec;
    long long ns = 0;
    bool any = false;
    for (const auto& t : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream in(t.path() / "schedstat");
        long long v = 0;
        if (in >> v) {
            ns += v;
            any = true;
        }
    }
    return any ? static_cast<double>(ns) / 1e6 : -1;
}

// A "VmHWM"-style line of /proc/PID/status, in KiB; -1 when absent.
long status_kb(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0 && line[strlen(key)] == ':') return atol(line.c_str() + strlen(key) + 1);
    return -1;
}

// ---- the programs ---------------------------------------------------------------------
struct Program {
    std::string label, exe, name;  // name: the X class of its windows
    std::vector<std::string> args;
    std::string ready_file;  // made by the script when its main program has run
};

// Starts the program and waits until its icon is in the tray (and its
// ready file exists): the milliseconds until the icon was in the tray, with
// the process in *pid and the milliseconds until the file existed in
// *ready_ms; -1 on failure (then it is stopped).
double start(const Program& p, const std::string& tray, pid_t* pid, double* ready_ms = nullptr) {
    std::vector<std::string> argv = {p.exe};
    argv.insert(argv.end(), p.args.begin(), p.args.end());
    if (!p.ready_file.empty()) unlink(p.ready_file.c_str());
    long long t0 = now_ns();
    *pid = spawn(argv, g_dir + "/" + p.name + ".log");
    if (*pid < 0) return -1;
    double icon_ms = -1, ready = p.ready_file.empty() ? 0 : -1;
    for (;;) {
        if (ready < 0 && access(p.ready_file.c_str(), F_OK) == 0) ready = static_cast<double>(now_ns() - t0) / 1e6;
        if (icon_ms < 0 && icon_in_tray(tray, p.name)) icon_ms = static_cast<double>(now_ns() - t0) / 1e6;
        if (icon_ms >= 0 && ready >= 0) break;
        int status = 0;
        if (ended(*pid, &status)) {
            fprintf(stderr, "bench_tray_desktop: %s ended before its icon was in the tray (status %d); its output:\n", p.label.c_str(),
                    status);
            std::ifstream log(g_dir + "/" + p.name + ".log");
            fprintf(stderr, "%s", std::string((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>()).c_str());
            *pid = -1;
            return -1;
        }
        if (now_ns() - t0 > 60000000000LL || !pause_ms(10)) {
            if (!g_interrupted) fprintf(stderr, "bench_tray_desktop: %s: no icon in the tray after 60 s\n", p.label.c_str());
            stop(*pid);
            *pid = -1;
            return -1;
        }
    }
    if (ready_ms) *ready_ms = ready;
    return icon_ms;
}

// Ends the program with SIGTERM; false when a packed program did not end as
// its quit sequence does (status 128 + 15).
bool end_program(const Program& p, pid_t pid, bool packed) {
    int status = stop(pid);
    if (packed && !(WIFEXITED(status) && WEXITSTATUS(status) == 128 + SIGTERM)) {
        fprintf(stderr, "bench_tray_desktop: %s ended with wait status %d after SIGTERM, not with 143\n", p.label.c_str(), status);
        return false;
    }
    return true;
}

struct Idle {
    double start_ms;  // CPU time of the start, to 1 s after the icon was in the tray
    double stat_ms, sched_ms;
    long hwm_kb, rss_kb;
};

// The tools are there and the benchmark's directory is made.
bool prepare() {
    for (const char* tool : {"Xvfb", "trayer", "xwininfo"}) {
        if (!installed(tool)) {
            fprintf(stderr, "bench_tray_desktop: %s is not installed (bash scripts/setup installs it)\n", tool);
            return false;
        }
    }
    char tmpl[] = "/tmp/kv-bench-tray-desktop-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    g_dir = tmpl;
    fs::create_directory(g_dir + "/tmp");
    fs::create_directory(g_dir + "/xdg");
    chmod((g_dir + "/tmp").c_str(), 0700);
    chmod((g_dir + "/xdg").c_str(), 0700);
    return true;
}

bool pack(const std::string& script_text, const std::string& icon, const std::string& exe) {
    std::string script = exe + ".pl";
    std::ofstream(script) << script_text;
    std::string command = std::string(KV_BIN_DIR) + "/kovpack -q --tray --icon " + icon + " " + script + " -o " + exe;
    if (system(command.c_str()) == 0) return true;
    fprintf(stderr, "bench_tray_desktop: packing failed: %s\n", command.c_str());
    return false;
}

// Starts the X server and the tray, and points the environment at them:
// the tray's window in *tray.
bool start_desktop(std::string* tray) {
    // The X server tells its display number on descriptor 3.
    int display_pipe[2];
    if (pipe2(display_pipe, O_CLOEXEC) != 0) return false;
    pid_t xvfb = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "640x480x24", "-nolisten", "tcp"}, g_dir + "/xvfb.log",
                       display_pipe[1]);
    close(display_pipe[1]);
    std::string display;
    for (long long end = now_ns() + 30000000000LL; display.find('\n') == std::string::npos;) {
        struct pollfd p = {display_pipe[0], POLLIN, 0};
        if (poll(&p, 1, 100) == 1) {
            char buf[32];
            ssize_t n = read(display_pipe[0], buf, sizeof buf);
            if (n <= 0) break;
            display.append(buf, static_cast<size_t>(n));
        }
        if (now_ns() > end || ended(xvfb) || !pause_ms(0)) break;
    }
    close(display_pipe[0]);
    if (display.find('\n') == std::string::npos) {
        if (!g_interrupted) fprintf(stderr, "bench_tray_desktop: the X server did not start (see %s/xvfb.log)\n", g_dir.c_str());
        return false;
    }
    setenv("DISPLAY", (":" + display.substr(0, display.find('\n'))).c_str(), 1);
    // No session bus: Qt uses the XEmbed tray.
    setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + g_dir + "/no-bus").c_str(), 1);
    setenv("TMPDIR", (g_dir + "/tmp").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (g_dir + "/xdg").c_str(), 1);
    setenv("KOVRUN_DEBUG_LOG", (g_dir + "/debug.log").c_str(), 1);

    spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120", "--heighttype", "pixel", "--height",
           "32"});
    for (long long end = now_ns() + 30000000000LL; (*tray = tray_window()).empty();) {
        if (now_ns() > end || !pause_ms(50)) {
            if (!g_interrupted) fprintf(stderr, "bench_tray_desktop: the tray did not start\n");
            return false;
        }
    }
    return true;
}

int run(int rounds, int idle_seconds) {
    if (!prepare()) return 1;
    // The minimal script, packed with the icon that the Qt program shows.
    std::string icon = std::string(KV_SOURCE_DIR) + "/examples/tray/icons/low.png";
    std::string ready_file = g_dir + "/ready";
    Program packed = {"packed tray program", g_dir + "/nimbrel_idle_tray", "nimbrel_idle_tray", {ready_file}, ready_file};
    Program qt = {"minimal Qt tray program", std::string(KV_BIN_DIR) + "/qt_minimal_tray", "qt_minimal_tray", {icon}, ""};
    std::string tray;
    if (!pack("use strict;\nuse warnings;\nuse Nimbrel;\nOnToolTip('Idle');\nOnDoubleClick(sub { exit 0 });\n"
              "open(my $ready, '>', $ARGV[0]) or die \"$ARGV[0]: $!\";\nclose $ready;\n",
              icon, packed.exe) ||
        !start_desktop(&tray))
        return 1;

    // The first start of the packed program writes its libraries to the cache.
    pid_t pid;
    double first_ready = -1;
    double first = start(packed, tray, &pid, &first_ready);
    if (first < 0 || !end_program(packed, pid, true)) return 1;
    if (start(qt, tray, &pid) < 0 || !end_program(qt, pid, false)) return 1;

    // Starts, in alternating order.
    std::vector<double> packed_ms, qt_ms, ratios, ready_ms, ready_ratios;
    for (int i = 0; i < rounds; i++) {
        double a = -1, b = -1, ready = -1;
        for (int k = 0; k < 2; k++) {
            bool first_packed = (i + k) % 2 == 0;
            const Program& p = first_packed ? packed : qt;
            double ms = start(p, tray, &pid, first_packed ? &ready : nullptr);
            if (ms < 0 || !end_program(p, pid, first_packed)) return 1;
            (first_packed ? a : b) = ms;
        }
        packed_ms.push_back(a);
        qt_ms.push_back(b);
        ratios.push_back(a / b);
        ready_ms.push_back(ready);
        ready_ratios.push_back(ready / b);
    }

    // Idle: from one second after the icon is in the tray, for the period.
    Idle idle[2];
    for (int k = 0; k < 2; k++) {
        const Program& p = k == 0 ? packed : qt;
        if (start(p, tray, &pid) < 0) return 1;
        if (!pause_ms(1000)) return 1;
        double stat0 = cpu_ms_stat(pid), sched0 = cpu_ms_sched(pid);
        if (!pause_ms(idle_seconds * 1000L)) return 1;
        if (stat0 < 0 || sched0 < 0) {
            fprintf(stderr, "bench_tray_desktop: cannot read the CPU time of %s\n", p.label.c_str());
            stop(pid);
            return 1;
        }
        idle[k] = {sched0, cpu_ms_stat(pid) - stat0, cpu_ms_sched(pid) - sched0, status_kb(pid, "VmHWM"), status_kb(pid, "VmRSS")};
        if (!end_program(p, pid, k == 0)) return 1;
    }

    double pm = median(packed_ms), qm = median(qt_ms);
    printf("tray program on Xvfb with an XEmbed tray (trayer), against a minimal Qt tray program in the same run\n");
    printf("start to the icon in the tray, %d rounds, medians (polled every 10 ms):\n", rounds);
    printf("  minimal Qt tray program       %8.1f ms\n", qm);
    printf("  packed tray program (cached)  %8.1f ms   %.2fx (per round)\n", pm, median(ratios));
    printf("    and its main program run    %8.1f ms   %.2fx\n", median(ready_ms), median(ready_ratios));
    printf("  packed, first start (cache written): icon %.1f ms, main program run %.1f ms\n", first, first_ready);
    printf("idle for %d s (from 1 s after the icon is in the tray):\n", idle_seconds);
    printf("                               CPU (stat)  CPU (schedstat)  peak memory (VmHWM)    VmRSS   CPU of the start\n");
    for (int k = 0; k < 2; k++)
        printf("  %-28s %5.0f ms   %9.2f ms   %11ld KiB   %6ld KiB   %9.1f ms\n", k == 0 ? packed.label.c_str() : qt.label.c_str(),
               idle[k].stat_ms, idle[k].sched_ms, idle[k].hwm_kb, idle[k].rss_kb, idle[k].start_ms);
    printf("  peak memory, packed / Qt: %.2fx\n", static_cast<double>(idle[0].hwm_kb) / static_cast<double>(idle[1].hwm_kb));
    return 0;
}

// ---- the popup menu --------------------------------------------------------------------
// Pointer and keyboard input: the XTest extension's fake events, or xdotool.
struct Input {
    Display* display;
    int (*fake_motion)(Display*, int, int, int, unsigned long) = nullptr;
    int (*fake_button)(Display*, unsigned, int, unsigned long) = nullptr;
    int (*fake_key)(Display*, unsigned, int, unsigned long) = nullptr;

    explicit Input(Display* d) : display(d) {
        void* lib = dlopen("libXtst.so.6", RTLD_NOW | RTLD_LOCAL);
        if (!lib) return;
        fake_motion = reinterpret_cast<decltype(fake_motion)>(dlsym(lib, "XTestFakeMotionEvent"));
        fake_button = reinterpret_cast<decltype(fake_button)>(dlsym(lib, "XTestFakeButtonEvent"));
        fake_key = reinterpret_cast<decltype(fake_key)>(dlsym(lib, "XTestFakeKeyEvent"));
        if (!fake_motion || !fake_button || !fake_key) fake_motion = nullptr;
    }
    bool xtest() const { return fake_motion != nullptr; }
    void move(int x, int y) {
        if (!xtest()) {
            capture({"xdotool", "mousemove", std::to_string(x), std::to_string(y)});
            return;
        }
        fake_motion(display, -1, x, y, 0);
        XSync(display, False);
    }
    void right_click() {
        if (!xtest()) {
            capture({"xdotool", "click", "3"});
            return;
        }
        fake_button(display, 3, True, 0);
        fake_button(display, 3, False, 0);
        XFlush(display);
    }
    void escape() {
        if (!xtest()) {
            capture({"xdotool", "key", "Escape"});
            return;
        }
        unsigned code = XKeysymToKeycode(display, XK_Escape);
        fake_key(display, code, True, 0);
        fake_key(display, code, False, 0);
        XFlush(display);
    }
};

// A window that goes away while it is looked at is no failure.
int ignore_x_error(Display*, XErrorEvent*) { return 0; }

// The centre of the icon window of the program `name` in the tray.
bool icon_centre(Display* d, const std::string& tray, const std::string& name, int* x, int* y) {
    std::istringstream in(capture({"xwininfo", "-id", tray, "-tree"}));
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find("0x");
        if (line.find("(\"" + name + "\" ") == std::string::npos || at == std::string::npos) continue;
        Window w = strtoul(line.c_str() + at, nullptr, 16);
        XWindowAttributes a;
        Window child;
        if (!XGetWindowAttributes(d, w, &a) || !XTranslateCoordinates(d, w, DefaultRootWindow(d), a.width / 2, a.height / 2, x, y, &child))
            return false;
        return true;
    }
    return false;
}

// True when the mapped window is the menu: Qt gives a popup menu's window
// no window type of its own, but the server places it as it is (override
// redirect), and a 200-item menu is taller than anything else a tray program
// shows, such as a tool tip.
bool is_menu(Display* d, const XMapEvent& e) {
    XWindowAttributes a;
    return e.override_redirect && XGetWindowAttributes(d, e.window, &a) && a.height >= 200;
}

// The next X event until the deadline; false at the deadline or on a quit signal.
bool next_event(Display* d, XEvent* e, long long deadline) {
    while (!XPending(d)) {
        long long left = deadline - now_ns();
        if (left <= 0 || !pause_ms(0)) return false;
        struct pollfd p = {ConnectionNumber(d), POLLIN, 0};
        poll(&p, 1, static_cast<int>(std::min(left / 1000000LL + 1, 100LL)));
    }
    XNextEvent(d, e);
    return true;
}

// Clicks the icon with the right button: the milliseconds until a popup
// menu's window was mapped, then closes the menu; -1 on failure.
double time_menu(Display* d, Input* input, const std::string& label, int x, int y) {
    input->move(x, y);
    if (!pause_ms(150)) return -1;
    XSync(d, False);
    while (XPending(d)) {
        XEvent e;
        XNextEvent(d, &e);
    }
    long long t0 = now_ns();
    input->right_click();
    Window menu = 0;
    XEvent e;
    double ms = -1;
    while (!menu && next_event(d, &e, t0 + 30000000000LL)) {
        if (e.type != MapNotify) continue;
        ms = static_cast<double>(now_ns() - t0) / 1e6;
        if (is_menu(d, e.xmap)) menu = e.xmap.window;
    }
    if (!menu) {
        if (!g_interrupted) fprintf(stderr, "bench_tray_desktop: %s showed no menu within 30 s\n", label.c_str());
        return -1;
    }
    input->escape();
    bool closed = false;
    while (!closed && next_event(d, &e, now_ns() + 10000000000LL))
        closed = (e.type == UnmapNotify && e.xunmap.window == menu) || (e.type == DestroyNotify && e.xdestroywindow.window == menu);
    if (!closed) {
        if (!g_interrupted) fprintf(stderr, "bench_tray_desktop: the menu of %s did not close on Escape\n", label.c_str());
        return -1;
    }
    // A second press on the icon within the double-click time would be a
    // double click, which opens no menu.
    return pause_ms(600) ? ms : -1;
}

int run_menu(int rounds) {
    if (!prepare()) return 1;
    std::string icon = std::string(KV_SOURCE_DIR) + "/examples/tray/icons/low.png";
    std::string ready_file = g_dir + "/ready";
    Program programs[2] = {
        {"packed tray program", g_dir + "/nimbrel_menu_tray", "nimbrel_menu_tray", {ready_file}, ready_file},
        {"minimal Qt tray program", std::string(KV_BIN_DIR) + "/qt_menu_tray", "qt_menu_tray", {icon}, ""},
    };
    // The same 200 items as the Qt program's: a separator in every tenth
    // place, 180 commands, those in the fifth places with an accelerator text.
    std::string tray;
    if (!pack("use strict;\nuse warnings;\nuse Nimbrel;\n"
              "SetMenu([map { $_ % 10 == 0 ? '-' : [\"&Command number $_\" . ($_ % 5 ? '' : \"\\tCtrl+$_\"), sub {}] } 1 .. 200]);\n"
              "open(my $ready, '>', $ARGV[0]) or die \"$ARGV[0]: $!\";\nclose $ready;\n",
              icon, programs[0].exe) ||
        !start_desktop(&tray))
        return 1;
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        fprintf(stderr, "bench_tray_desktop: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(ignore_x_error);
    XSelectInput(d, DefaultRootWindow(d), SubstructureNotifyMask);
    Input input(d);
    if (!input.xtest() && !installed("xdotool")) {
        fprintf(stderr, "bench_tray_desktop: neither libXtst nor xdotool is installed\n");
        XCloseDisplay(d);
        return 1;
    }

    int status = 1;
    pid_t pids[2] = {-1, -1};
    int x[2], y[2];
    std::vector<double> ms[2], ratios;
    for (int k = 0; k < 2; k++)
        if (start(programs[k], tray, &pids[k]) < 0) goto done;
    // The tray lays the icons out once both are in.
    if (!pause_ms(500)) goto done;
    for (int k = 0; k < 2; k++)
        if (!icon_centre(d, tray, programs[k].name, &x[k], &y[k])) {
            fprintf(stderr, "bench_tray_desktop: no icon window of %s in the tray\n", programs[k].label.c_str());
            goto done;
        }
    // One click each first: the packed program compiles the menu code then.
    for (int k = 0; k < 2; k++)
        if (time_menu(d, &input, programs[k].label, x[k], y[k]) < 0) goto done;
    for (int i = 0; i < rounds; i++) {
        double this_round[2];
        for (int j = 0; j < 2; j++) {
            int k = (i + j) % 2;
            this_round[k] = time_menu(d, &input, programs[k].label, x[k], y[k]);
            if (this_round[k] < 0) goto done;
            ms[k].push_back(this_round[k]);
        }
        ratios.push_back(this_round[0] / this_round[1]);
    }
    status = 0;
    printf("right click on the icon to its 200-item popup menu on screen (the menu's window mapped), Xvfb with an XEmbed tray\n");
    printf("(trayer), %d rounds, medians; clicks by %s\n", rounds, input.xtest() ? "XTest" : "xdotool (its start included)");
    printf("  minimal Qt tray program (QMenu built on each click)  %7.1f ms\n", median(ms[1]));
    printf("  packed tray program (SetMenu with 200 items)         %7.1f ms   %.2fx (per round)\n", median(ms[0]), median(ratios));
done:
    for (int k = 0; k < 2; k++)
        if (pids[k] > 0 && !end_program(programs[k], pids[k], k == 0)) status = 1;
    XCloseDisplay(d);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    bool menu = argc > 1 && strcmp(argv[1], "menu") == 0;
    if (menu) argc--, argv++;
    int rounds = argc > 1 ? atoi(argv[1]) : menu ? 10 : 5;
    int idle_seconds = argc > 2 ? atoi(argv[2]) : 10;
    if (rounds < 1) rounds = menu ? 10 : 5;
    if (idle_seconds < 1) idle_seconds = 10;
    // Quit signals are taken while waiting, so that everything started is ended.
    sigemptyset(&g_quit_signals);
    sigaddset(&g_quit_signals, SIGINT);
    sigaddset(&g_quit_signals, SIGTERM);
    sigaddset(&g_quit_signals, SIGHUP);
    sigprocmask(SIG_BLOCK, &g_quit_signals, nullptr);
    int status = menu ? run_menu(rounds) : run(rounds, idle_seconds);
    cleanup();
    return status;
}
