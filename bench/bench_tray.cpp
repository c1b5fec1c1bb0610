// Cost of one event call of the tray host: a timer expiry dispatched through
// the window procedure into the script's sub and back, as a ratio to the
// same sub called in a Perl loop of the same program, measured in the same
// run. Two scripts: one that defines "Nimbrel::Timer" itself, and one that
// starts a timer with the library's SetTimer (whose handler is a code
// reference, called through the library's dispatch).
//
// The program is its own tray host: the driver packs each script with this
// executable as the host, and the packed copy (which finds an archive in its
// own file) runs the script on a backend of its own that has no desktop. Its
// event loop delivers the timer's expiry as fast as it can and times that,
// so no toolkit's cost is in the figure; the script times its own loop with
// the same clock.
//
//   bench_tray [CALLS] [ROUNDS]   the comparison (default 200000 calls, 5 rounds)
//
// When valgrind is installed, instructions per call are counted as well (with
// callgrind, from the difference between runs with and without the calls).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/tray.h"
#include "src/bfs/bfs.h"
#include "src/bfs/rmtree.h"
#include "tray/tray_state.h"
#include "bench/bench_util.h"

namespace {

// ---- the host: a backend without a desktop ---------------------------------------------
TrayWindowProcFn g_proc = nullptr;
uint32_t g_timer_id = 0;  // the last timer the script started (not the click timer)
long g_calls = 0;         // expiries to deliver and time

long long now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

int b_open(int* argc, char** argv, TrayWindowProcFn proc, char*, size_t) {
    g_proc = proc;
    // The script's arguments: loop calls, event calls.
    g_calls = *argc > 2 ? atol(argv[2]) : 0;
    return 0;
}
void b_close() { g_proc = nullptr; }
uint32_t b_shell_version() { return 6; }
uint32_t b_taskbar_created_message() { return 0xC0DE; }
uint32_t b_double_click_time() { return 500; }
int b_notify_icon(uint32_t, const TrayIconRecord*) { return 1; }
intptr_t b_load_icon(const void*, size_t length) { return length ? 1 : 0; }
intptr_t b_default_icon() { return 1; }
void b_set_timer(uint32_t id, uint32_t) {
    if (id != TRAY_CLICK_TIMER) g_timer_id = id;
}
void b_kill_timer(uint32_t) {}
int b_post_message(uint32_t, uintptr_t, intptr_t) { return 0; }
int b_watch_fd(int, uint32_t) { return 0; }
void b_post_quit(int) {}
void b_destroy_window() {
    if (g_proc) g_proc(TRAY_MSG_DESTROY, 0, 0);
}
int b_message_box(const char*, const char*, uint32_t) { return 0; }
void b_raise_box() {}
void b_close_box() {}
uint32_t b_box_style_version() { return 6; }
int b_execute(const char*, char*, size_t) { return 1; }

// A script that starts no timer is sent timer 3.
int b_run_loop() {
    uintptr_t id = g_timer_id ? g_timer_id : 3;
    for (int i = 0; i < 1000; i++) g_proc(TRAY_MSG_TIMER, id, 0);
    long long start = now_ns();
    for (long i = 0; i < g_calls; i++) g_proc(TRAY_MSG_TIMER, id, 0);
    long long elapsed = now_ns() - start;
    printf("dispatch %lld\n", elapsed);
    fflush(stdout);
    return 0;
}

int b_popup_menu(const TrayMenuItem*) { return 0; }
void b_set_icon_menu(const TrayMenuItem*) {}

const TrayBackend kBackend = {
    TRAY_BACKEND_ABI,    "bench",       b_open,         b_close,        b_shell_version, b_taskbar_created_message,
    b_double_click_time, b_notify_icon, b_load_icon,    b_default_icon, b_set_timer,     b_kill_timer,
    b_post_message,      b_watch_fd,    b_run_loop,     b_post_quit,    b_destroy_window,
    b_message_box,       b_raise_box,   b_close_box,    b_box_style_version, b_execute,
    b_popup_menu,        b_set_icon_menu,
};

// ---- the driver --------------------------------------------------------------------------
// The scripts: ARGV is (loop calls, event calls). Each warms up with 1000
// calls, times its loop, and at the end says how often the sub ran.
const char* const kPrologue =
    "use strict;\nuse warnings;\nuse Time::HiRes ();\n$| = 1;\n"
    "my ($loop, $events) = @ARGV;\nmy $count = 0;\n"
    "sub timed { my ($code) = @_; my $start = Time::HiRes::clock_gettime(Time::HiRes::CLOCK_MONOTONIC());\n"
    "  $code->(); printf \"loop %.0f\\n\", (Time::HiRes::clock_gettime(Time::HiRes::CLOCK_MONOTONIC()) - $start) * 1e9 }\n"
    "END { print \"count $count\\n\" }\n";

struct Variant {
    const char* name;
    const char* title;
    const char* body;
};

const Variant kVariants[] = {
    {"sub", "\"Nimbrel::Timer\" defined by the script",
     "sub Nimbrel::Timer { $count++; return }\n"
     "my $id = '3';\n"
     "Nimbrel::Timer($id) for 1 .. 1000;\n"
     "timed(sub { Nimbrel::Timer($id) for 1 .. $loop });\n"},
    {"glue", "SetTimer handler (a code reference) through Nimbrel.pm",
     "use Nimbrel;\n"
     "my $handler = sub { $count++; return };\n"
     "my $id = SetTimer('1h', $handler);\n"
     "$handler->($id) for 1 .. 1000;\n"
     "timed(sub { $handler->($id) for 1 .. $loop });\n"},
};

struct Result {
    bool ok = false;
    long long loop_ns = 0, dispatch_ns = 0;
    long count = 0;
};

// Runs argv with the environment `env` added; its standard output, or
// false when it failed.
bool capture(const std::vector<std::string>& argv, const std::vector<std::string>& env, std::string* out) {
    std::vector<std::string> whole = environment_with(env);
    return capture_output(argv, &whole, ChildStderr::inherit, 0, out);
}

long long field(const std::string& text, const char* name) {
    std::string key = std::string("\n") + name + " ";
    size_t at = ("\n" + text).find(key);
    return at == std::string::npos ? -1 : atoll(text.c_str() + at + key.size() - 1);
}

Result run_app(const std::string& app, const std::vector<std::string>& env, long loop, long events) {
    Result r;
    std::string out;
    if (!capture({app, std::to_string(loop), std::to_string(events)}, env, &out)) {
        fprintf(stderr, "bench_tray: %s failed:\n%s", app.c_str(), out.c_str());
        return r;
    }
    r.loop_ns = field(out, "loop");
    r.dispatch_ns = field(out, "dispatch");
    r.count = static_cast<long>(field(out, "count"));
    r.ok = r.loop_ns >= 0 && r.dispatch_ns >= 0 && r.count == loop + events + 2000;
    if (!r.ok) fprintf(stderr, "bench_tray: unexpected output of %s:\n%s", app.c_str(), out.c_str());
    return r;
}

// Instructions of one run under callgrind; -1 when it could not be counted.
long long instructions(const std::string& app, const std::vector<std::string>& env, const std::string& dir, long loop, long events) {
    std::string file = dir + "/callgrind.out";
    std::string out;
    if (!capture({"valgrind", "-q", "--tool=callgrind", "--callgrind-out-file=" + file, app, std::to_string(loop), std::to_string(events)},
                 env, &out))
        return -1;
    return callgrind_total(file);
}



int driver(int argc, char** argv) {
    long calls = argc > 1 ? atol(argv[1]) : 200000;
    int rounds = argc > 2 ? atoi(argv[2]) : 5;
    if (calls < 1) calls = 200000;
    if (rounds < 1) rounds = 5;
    char self[4096];
    if (!plat_exe_path(self, sizeof self)) return 1;
    char tmpl[] = "/tmp/kv-bench-tray-XXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    std::string dir = tmpl;
    std::filesystem::create_directory(dir + "/tmp");
    std::vector<std::string> env = {"TMPDIR=" + dir + "/tmp", "KOVRUN_DEBUG_LOG=/dev/null"};
    bool valgrind = have_valgrind();
    const long kCounted = 20000;

    int status = 0;
    printf("event call: a timer expiry through the window procedure into a Perl sub and back, %ld calls, %d rounds; medians\n",
           calls, rounds);
    printf("                                       loop call   event call   ratio (per round)\n");
    for (const Variant& v : kVariants) {
        std::string script = dir + "/" + v.name + ".pl", app = dir + "/" + v.name;
        std::ofstream(script) << kPrologue << v.body;
        std::string pack = std::string(KV_BIN_DIR) + "/kovpack -q --no-bundle-libperl --host-exe " + self + " -I " + KV_SOURCE_DIR +
                           "/perl " + script + " -o " + app;
        if (system(pack.c_str()) != 0) {
            fprintf(stderr, "bench_tray: packing failed: %s\n", pack.c_str());
            status = 1;
            break;
        }
        std::vector<double> loop_ns, event_ns, ratios;
        run_app(app, env, 1000, 1000);  // fills the cache
        for (int i = 0; i < rounds; i++) {
            Result r = run_app(app, env, calls, calls);
            if (!r.ok) {
                status = 1;
                break;
            }
            double l = static_cast<double>(r.loop_ns) / static_cast<double>(calls);
            double e = static_cast<double>(r.dispatch_ns) / static_cast<double>(calls);
            loop_ns.push_back(l);
            event_ns.push_back(e);
            ratios.push_back(e / l);
        }
        if (status) break;
        printf("  %s\n", v.title);
        printf("    time                            %9.1f ns  %9.1f ns   %.2fx\n", median(loop_ns), median(event_ns), median(ratios));
        if (valgrind) {
            long long none = instructions(app, env, dir, 0, 0);
            long long loop = instructions(app, env, dir, kCounted, 0);
            long long events = instructions(app, env, dir, 0, kCounted);
            if (none > 0 && loop > none && events > none) {
                double li = static_cast<double>(loop - none) / kCounted, ei = static_cast<double>(events - none) / kCounted;
                printf("    instructions (callgrind)        %9.0f     %9.0f      %.2fx\n", li, ei, ei / li);
            } else {
                printf("    instructions: callgrind gave no count\n");
            }
        }
    }
    if (!valgrind) printf("  (valgrind is not installed: no instruction counts)\n");
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    // A packed copy of this program carries the script: it is the host.
    if (bfs_resource(nullptr, nullptr)) {
        int status = tray_main(&kBackend, argc, argv);
        cleanup_temp_dirs();
        return status;
    }
    return driver(argc, argv);
}
