// Termination signals (SIGTERM, SIGINT, SIGHUP) as an event: the handler
// only writes the signal's number into a pipe that the backend watches, and
// the quit sequence runs from the loop, with the status of a process that
// the signal ended.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include "tray/tray_state.h"

namespace {

const int kQuitSignals[] = {SIGTERM, SIGINT, SIGHUP};
int g_signal_write_fd = -1;
pid_t g_owner_pid;
volatile sig_atomic_t g_signal_seen = 0;

// Only a write: the quit sequence runs from the loop. A forked child, and a
// second signal while the first one's quit is under way (a script that no
// longer returns to the loop), get the signal's own action.
void on_quit_signal(int sig) {
    int saved = errno;
    if (getpid() != g_owner_pid || g_signal_seen) {
        signal(sig, SIG_DFL);
        raise(sig);
    } else {
        g_signal_seen = 1;
        unsigned char b = static_cast<unsigned char>(sig);
        ssize_t w = write(g_signal_write_fd, &b, 1);
        (void)w;
    }
    errno = saved;
}

}  // namespace

// The pipe, its watch and the handlers; signals that were ignored when the
// program started (nohup) stay ignored. Without a watch the signals keep
// their default action.
void tray_start_signal_watch() {
    int* fds = tray_state.signal_pipe;
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        fds[0] = fds[1] = -1;
        return;
    }
    if (!tray_state.backend->watch_fd(fds[0], TRAY_MSG_FD_READY)) {
        close(fds[0]);
        close(fds[1]);
        fds[0] = fds[1] = -1;
        return;
    }
    g_signal_write_fd = fds[1];
    g_owner_pid = getpid();
    for (int sig : kQuitSignals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_quit_signal;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        sigaction(sig, &sa, nullptr);
    }
}

void tray_stop_signal_watch() {
    if (tray_state.signal_pipe[0] < 0) return;
    for (int sig : kQuitSignals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == on_quit_signal) signal(sig, SIG_DFL);
    }
    close(tray_state.signal_pipe[0]);
    close(tray_state.signal_pipe[1]);
    tray_state.signal_pipe[0] = tray_state.signal_pipe[1] = -1;
    g_signal_write_fd = -1;
}

void tray_signal_ready(int fd) {
    unsigned char b[16];
    int sig = 0;
    for (;;) {
        ssize_t n = read(fd, b, sizeof b);
        if (n > 0 && sig == 0) sig = b[0];
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        break;
    }
    // The conventional status of a process ended by that signal.
    if (sig) tray_request_quit(128 + sig);
}
