// The tray host's entry and quit sequence: the backend's window and the
// icon, the environment, the script's session, the event loop, and the end
// of the application with the script's status.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <pthread.h>
#include <unistd.h>

#include "src/bfs/rmtree.h"
#include "src/binding/api.h"
#include "src/launcher/diag.h"
#include "src/launcher/env.h"
#include "src/launcher/kovrun.h"
#include "tray/tray_download.h"
#include "tray/tray_state.h"

TrayState tray_state;

namespace {

// The backend's private argument vector: it must outlive the backend. The
// backend takes its own options out of the vector, so the strings are freed
// from a list of their own.
int g_backend_argc;
char** g_backend_argv;
char** g_backend_strings;
int g_backend_string_count;

void free_backend_argv() {
    if (g_backend_strings)
        for (int i = 0; i < g_backend_string_count; i++) free(g_backend_strings[i]);
    free(g_backend_strings);
    free(g_backend_argv);
    g_backend_strings = nullptr;
    g_backend_argv = nullptr;
}

// A private copy of the argument vector for the backend; the script's @ARGV
// is built from the original.
bool copy_backend_argv(int argc, char** argv) {
    g_backend_argv = static_cast<char**>(calloc(static_cast<size_t>(argc) + 1, sizeof(char*)));
    g_backend_strings = static_cast<char**>(calloc(static_cast<size_t>(argc) + 1, sizeof(char*)));
    g_backend_string_count = 0;
    if (!g_backend_argv || !g_backend_strings) return false;
    for (int i = 0; i < argc; i++) {
        g_backend_argv[i] = g_backend_strings[i] = strdup(argv[i] ? argv[i] : "");
        if (!g_backend_argv[i]) return false;
        g_backend_string_count++;
    }
    g_backend_argc = argc;
    return true;
}

void fill_icon_record(intptr_t icon) {
    memset(tray_state.icon.bytes, 0, sizeof tray_state.icon.bytes);
    TrayIconRecord* r = tray_record();
    r->size = tray_record_size(tray_state.shell_version);
    r->id = TRAY_ICON_ID;
    r->callback_message = TRAY_MSG_ICON;
    r->icon = icon;
    snprintf(r->tip, sizeof r->tip, "%s", TRAY_DEFAULT_TIP);
}

// `leave_now`: end the process as soon as the script is gone, without
// returning to whatever is still on the call stack (a forked child, or an
// interpreter unwound beneath an outer event call).
void quit_sequence(int status, bool run_end_blocks, bool leave_now) {
    if (tray_state.quitting) return;
    tray_state.quitting = 1;
    tray_state.quit_pending = 0;
    bool child = getpid() != tray_state.pid;
    KovrunSession* s = tray_state.session;
    if (s && run_end_blocks) {
        // END blocks see the status in $? and may change it, as they do when
        // a Perl program exits.
        KvI32* statusvalue = api.Perl_Istatusvalue_ptr(kovrun_interp(s));
        *statusvalue = status;
        kovrun_run_end_blocks(s);
        status = *statusvalue;
    }
    tray_state.exit_status = status;
    tray_state.session = nullptr;
    kovrun_free(s);
    if (child) {
        // The directories and the icon belong to the tray's own process.
        fflush(nullptr);
        _exit(status & 0xFF);
    }
    cleanup_temp_dirs();
    tray_download_quit();
    tray_notify(TRAY_ICON_DELETE, TRAY_NIF_SHOW);
    if (leave_now) {
        fflush(nullptr);
        _exit(status & 0xFF);
    }
    if (tray_state.window_open) tray_state.backend->destroy_window();
}

}  // namespace

uint32_t tray_record_size(uint32_t shell_version) { return shell_version == 5 ? 488 : shell_version == 6 ? 504 : 88; }
uint32_t tray_tip_limit(uint32_t shell_version) { return shell_version < 5 ? 63 : 127; }

void tray_notify(uint32_t action, uint32_t flags) {
    tray_record()->flags = flags;
    if (tray_state.window_open) tray_state.backend->notify_icon(action, tray_record());
}

void QuitApplication(int status) { quit_sequence(status, true, false); }

void tray_quit_at_once(int status) {
    quit_sequence(status, true, true);
    fflush(nullptr);
    _exit(tray_state.exit_status & 0xFF);
}

void tray_request_quit(int status) {
    if (tray_state.quitting || tray_state.quit_pending) return;
    if (tray_state.depth > 0) {
        tray_state.quit_pending = 1;
        tray_state.pending_status = status;
        // An open message box would keep its caller, and the quit, waiting.
        tray_close_box();
        return;
    }
    QuitApplication(status);
}

int tray_main(const TrayBackend* backend, int argc, char** argv) {
    memset(&tray_state, 0, sizeof tray_state);
    tray_state.backend = backend;
    tray_state.pid = getpid();
    // Each event asks whether it runs in a forked child; a flag set at fork
    // spares the system call on every event of the tray itself.
    static bool fork_watch = false;
    if (!fork_watch) fork_watch = pthread_atfork(nullptr, nullptr, [] { tray_state.forked = 1; }) == 0;
    if (!fork_watch) tray_state.forked = 1;
    tray_state.signal_pipe[0] = tray_state.signal_pipe[1] = -1;

    // 1. The window and the icon, before the script exists.
    char error[256] = "";
    if (!copy_backend_argv(argc, argv)) {
        free_backend_argv();
        diag_print("Panic: Can't alloc the argument vector for the desktop\n");
        return 1;
    }
    if (backend->open(&g_backend_argc, g_backend_argv, TrayWindowProc, error, sizeof error) != 0) {
        diag_print("Panic: %s\n", error[0] ? error : "Can't open the desktop");
        backend->close();
        free_backend_argv();
        return 1;
    }
    tray_state.window_open = 1;
    tray_state.shell_version = backend->shell_version();
    tray_state.taskbar_created_message = backend->taskbar_created_message();
    tray_state.tip_limit = tray_tip_limit(tray_state.shell_version);
    intptr_t icon = tray_icons_init(bfs_resource(nullptr, nullptr));
    tray_state.icon_handle = TRAY_DEFAULT_ICON_HANDLE;
    fill_icon_record(icon);
    tray_notify(TRAY_ICON_ADD, TRAY_NIF_SHOW);

    // 2. The environment, the signals and the script's main program.
    if (env_kill() != 0) {
        quit_sequence(1, false, false);
    } else {
        tray_start_signal_watch();
        KovrunSession* session = nullptr;
        int rc = kovrun_start(&session, nullptr, nullptr, argc, argv, tray_xs_init, 0);
        tray_state.session = session;
        if (rc != 0) {
            // The main program failed or exited non-zero: its END blocks stay
            // unrun, and the status is its own.
            quit_sequence(rc, false, false);
        } else if (getpid() != tray_state.pid) {
            // A child that the main program forked and that ran on to its end.
            QuitApplication(0);
        } else if (tray_state.quit_pending) {
            // Asked for while a message box of the main program was open.
            QuitApplication(tray_state.pending_status);
        }
    }

    // 3. The loop. It ends with the quit sequence; when the desktop ends it
    // first, the quit sequence still runs.
    if (!tray_state.quitting) {
        int code = backend->run_loop();
        if (!tray_state.quitting) QuitApplication(code);
    }
    tray_stop_signal_watch();
    backend->close();
    free_backend_argv();
    fflush(stdout);
    // A download worker that could not be ended must not meet the exit
    // handlers of the libraries it is inside.
    if (!tray_download_end()) {
        cleanup_temp_dirs();
        fflush(nullptr);
        _exit(tray_state.exit_status & 0xFF);
    }
    return tray_state.exit_status & 0xFF;
}
