// Linux backend of the platform interface.
#include "platform/platform.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <poll.h>
#include <sched.h>
#include <sys/syscall.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

extern char** environ;

bool plat_exe_path(char* buf, size_t size) {
    if (size == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    // The kernel itself fails with ENAMETOOLONG for a path longer than it
    // can spell out (one page).
    ssize_t n = readlink("/proc/self/exe", buf, size);
    if (n < 0) return false;
    if (n == 0 || static_cast<size_t>(n) >= size) {
        errno = n == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    buf[n] = 0;
    return true;
}

bool plat_module_path(const char* name, char* buf, size_t size) {
    void* h = dlopen(name, RTLD_LAZY | RTLD_NOLOAD);
    if (!h) return false;
    struct link_map* map = nullptr;
    bool ok = dlinfo(h, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && map->l_name[0];
    if (ok) {
        size_t len = strlen(map->l_name);
        ok = len < size;
        if (ok) memcpy(buf, map->l_name, len + 1);
    }
    dlclose(h);
    return ok;
}

const unsigned char* plat_map_readonly(int fd, uint64_t offset, size_t length) {
    void* p = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(offset));
    return p == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(p);
}

void plat_unmap(const unsigned char* view, size_t length) {
    munmap(const_cast<unsigned char*>(view), length);
}

size_t plat_map_granularity() { return static_cast<size_t>(sysconf(_SC_PAGESIZE)); }

void plat_map_release(const unsigned char* view, size_t length) {
    madvise(const_cast<unsigned char*>(view), length, MADV_DONTNEED);
}

void plat_start_writeback(int fd, uint64_t offset, size_t length) {
    sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
}

namespace {
// Closes every descriptor below `limit` but those in keep (sorted).
void close_all_but(const int* keep, size_t n, unsigned limit) {
    unsigned from = 0;
    for (size_t i = 0; i <= n; i++) {
        unsigned to = i < n ? static_cast<unsigned>(keep[i]) : limit;
        if (to > from && close_range(from, to - 1, 0) != 0)
            for (unsigned fd = from; fd < to; fd++) close(static_cast<int>(fd));
        from = to + 1;
    }
}

// What the worker of plat_run_detached gets.
struct Detached {
    void (*work)(void*);
    void* arg;
    const int* keep;  // sorted
    size_t keep_count;
    unsigned limit;
    int exit_end;
};

// The worker: it leaves the session, so that no terminal's interrupt or
// hangup cuts the work short, blocks every signal that can be blocked, and
// waits until the starting process has ended, or for a fifth of a second,
// so that its work does not compete with the rest of that process's start.
[[noreturn]] void run_worker(const Detached* d) {
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);
    setsid();
    close_all_but(d->keep, d->keep_count, d->limit);
    struct pollfd end = {d->exit_end, POLLIN, 0};
    while (poll(&end, 1, 200) < 0 && errno == EINTR) {
    }
    d->work(d->arg);
    _exit(0);
}

// Runs in a child that shares this process's memory while this process
// waits for it (CLONE_VFORK): it only copies the process once more, for the
// worker, and ends, so that the worker is nobody's child here. The copy is
// made by the plain system call: the C library's fork would run fork
// handlers and touch the thread state that the child shares. It is not
// instrumented by the address checker, whose records of the stack it would
// otherwise change under the waiting thread.
__attribute__((no_sanitize("address"))) int start_worker(void* data) {
    long worker = syscall(SYS_clone, SIGCHLD, 0, 0, 0, 0);
    if (worker == 0) run_worker(static_cast<const Detached*>(data));
    syscall(SYS_exit, worker < 0 ? 1 : 0);
    return 0;
}

// A pipe whose writing end only this process holds (closed on exec): a
// detached worker sees its end when this process has ended.
int g_exit_pipe[2] = {-1, -1};
}  // namespace

bool plat_run_detached(void (*work)(void*), void* arg, const int* keep, size_t keep_count) {
    int sorted[64];
    if (keep_count + 1 > sizeof sorted / sizeof sorted[0]) return false;
    plat_lock();
    bool piped = g_exit_pipe[0] >= 0 || pipe2(g_exit_pipe, O_CLOEXEC) == 0;
    int exit_end = g_exit_pipe[0];
    plat_unlock();
    if (!piped) return false;
    size_t n = 0;
    for (size_t i = 0; i <= keep_count; i++) {
        int fd = i < keep_count ? keep[i] : exit_end;
        size_t j = n++;
        for (; j > 0 && sorted[j - 1] > fd; j--) sorted[j] = sorted[j - 1];
        sorted[j] = fd;
    }
    struct rlimit lim;
    unsigned limit = getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < 1u << 20
                         ? static_cast<unsigned>(lim.rlim_cur)
                         : 1u << 20;
    Detached d{work, arg, sorted, n, limit, exit_end};
    // The intermediate child runs on this stack of its own while the calling
    // thread waits; the lock keeps other threads off it meanwhile.
    alignas(16) static char stack[16384];
    plat_lock();
    pid_t child = clone(start_worker, stack + sizeof stack, CLONE_VM | CLONE_VFORK | SIGCHLD, &d);
    plat_unlock();
    if (child < 0) return false;
    // A program that ignores SIGCHLD has its children reaped for it: the
    // wait then ends without a status, and the worker is taken as started
    // (if it was not, the work is merely left for a later start).
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return errno == ECHILD;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

namespace {
pthread_mutex_t g_lock;
pthread_once_t g_lock_once = PTHREAD_ONCE_INIT;
void make_lock() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&g_lock, &attr);
    pthread_mutexattr_destroy(&attr);
}
}  // namespace

// Recursive, like the critical section it stands in for; created once.
void plat_lock_init() { pthread_once(&g_lock_once, make_lock); }
void plat_lock() { plat_lock_init(); pthread_mutex_lock(&g_lock); }
void plat_unlock() { pthread_mutex_unlock(&g_lock); }

void plat_debug_output(const char* text) {
    const char* file = getenv("KOVRUN_DEBUG_LOG");
    if (file && *file) {
        int fd = open(file, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            size_t len = strlen(text);
            ssize_t w = write(fd, text, len);
            (void)w;
            close(fd);
        }
        return;
    }
    syslog(LOG_USER | LOG_DEBUG, "%s", text);
}

// Lazy binding: a start resolves only the functions it calls. libperl alone
// has more than a thousand, and resolving them all would cost a packed
// program a tenth of its start.
void* plat_dl_open(const char* path) { return dlopen(path, RTLD_LAZY | RTLD_GLOBAL); }
namespace {
struct LoadedSearch {
    const char* name;
    char path[4096];
    bool found;
};

// Matches a loaded object by its path, or by its file name when `name` has
// no directory part.
int match_loaded(struct dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<LoadedSearch*>(data);
    const char* path = info->dlpi_name;
    if (!path || !*path) return 0;
    const char* base = strrchr(path, '/');
    base = base ? base + 1 : path;
    bool same = strchr(search->name, '/') ? strcmp(path, search->name) == 0 : strcmp(base, search->name) == 0;
    if (same && strlen(path) < sizeof search->path) {
        strcpy(search->path, path);
        search->found = true;
        return 1;
    }
    return 0;
}
}  // namespace

// A loaded library is found by walking the list of loaded objects: asking the
// dynamic loader by a bare name would search every library directory first.
void* plat_dl_loaded(const char* name) {
    LoadedSearch search{name, {0}, false};
    dl_iterate_phdr(match_loaded, &search);
    return search.found ? dlopen(search.path, RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD) : nullptr;
}
// Opens the library again by the name it was loaded under, which only finds
// it among the loaded objects and counts one more reference.
void* plat_dl_share(void* handle) {
    struct link_map* map = nullptr;
    if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name || !*map->l_name) return nullptr;
    void* again = dlopen(map->l_name, RTLD_NOW | RTLD_GLOBAL | RTLD_NOLOAD);
    if (again && again != handle) {
        dlclose(again);
        again = nullptr;
    }
    return again;
}
void* plat_dl_sym(void* handle, const char* name) { return dlsym(handle, name); }
void plat_dl_close(void* handle) {
    if (handle) dlclose(handle);
}
const char* plat_dl_error() { return dlerror(); }

bool plat_temp_path(char* buf, size_t size, size_t* out_length) {
    const char* t = getenv("TMPDIR");
    if (!t || !*t) t = "/tmp";
    size_t len = strlen(t);
    *out_length = len + (t[len - 1] == '/' ? 0 : 1);
    if (*out_length >= size) return false;
    memcpy(buf, t, len);
    if (t[len - 1] != '/') buf[len++] = '/';
    buf[len] = 0;
    return true;
}

namespace {
// The local account file answers for most users at a fraction of the cost
// of the name service (which loads its modules first); users it does not
// list are asked of the name service.
bool user_from_passwd_file(uid_t uid, char* buf, size_t size) {
    FILE* f = fopen("/etc/passwd", "re");
    if (!f) return false;
    char line[1024];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) {
        char* name_end = strchr(line, ':');
        if (!name_end) continue;
        char* pw_end = strchr(name_end + 1, ':');
        if (!pw_end) continue;
        char* uid_end = nullptr;
        unsigned long id = strtoul(pw_end + 1, &uid_end, 10);
        if (uid_end == pw_end + 1 || *uid_end != ':' || id != uid) continue;
        size_t len = static_cast<size_t>(name_end - line);
        if (len == 0 || len >= size || line[0] == '+' || line[0] == '-') continue;
        memcpy(buf, line, len);
        buf[len] = 0;
        found = true;
    }
    fclose(f);
    return found;
}
}  // namespace

bool plat_user_name(char* buf, size_t size) {
    if (user_from_passwd_file(geteuid(), buf, size)) return true;
    struct passwd pw;
    struct passwd* res = nullptr;
    char scratch[4096];
    if (getpwuid_r(geteuid(), &pw, scratch, sizeof scratch, &res) != 0 || !res || !res->pw_name) return false;
    size_t len = strlen(res->pw_name);
    if (len == 0 || len >= size) return false;
    memcpy(buf, res->pw_name, len + 1);
    return true;
}

unsigned plat_uid() { return static_cast<unsigned>(geteuid()); }

int plat_pid() { return static_cast<int>(getpid()); }

bool plat_random(void* buf, size_t n) {
    auto* p = static_cast<unsigned char*>(buf);
    while (n) {
        ssize_t got = getrandom(p, n, GRND_NONBLOCK);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<size_t>(got);
    }
    return true;
}

int plat_try_lock(int fd) {
    for (;;) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) return 1;
        if (errno == EWOULDBLOCK) return 0;
        if (errno != EINTR) return -1;
    }
}

namespace {
const int kExitSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2};
// The exit signals whose handler was installed at start (the others were ignored).
uint64_t g_caught_at_start = 0;

uint64_t bit(int sig) { return uint64_t{1} << sig; }

sigset_t exit_signal_set(uint64_t except) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kExitSignals)
        if (!(except & bit(s))) sigaddset(&set, s);
    return set;
}
}  // namespace

void plat_catch_exit_signals(void (*handler)(int), bool reclaim) {
    struct sigaction sa = {};
    sa.sa_handler = handler;
    sa.sa_mask = exit_signal_set(0);
    sa.sa_flags = SA_RESTART;
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    for (int s : kExitSignals) {
        struct sigaction old;
        if (sigaction(s, nullptr, &old) != 0) continue;
        bool is_function = (old.sa_flags & SA_SIGINFO) || (old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN);
        if (!reclaim) {
            if (!is_function && old.sa_handler == SIG_DFL && sigaction(s, &sa, nullptr) == 0) g_caught_at_start |= bit(s);
        } else if (g_caught_at_start & bit(s)) {
            // The script's handlers went with its interpreter; a default it set
            // still ends the process, now after the removal.
            if ((is_function && old.sa_handler != handler) || (!is_function && old.sa_handler == SIG_DFL))
                sigaction(s, &sa, nullptr);
        } else if (is_function) {
            sigaction(s, &ignore, nullptr);
        }
    }
}

void plat_die_by_signal(int sig) {
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);  // pending: the handler runs with it blocked
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + sig);
}

uint64_t plat_block_exit_signals() {
    sigset_t set = exit_signal_set(0), old;
    sigemptyset(&old);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    uint64_t was = 0;
    for (int s : kExitSignals)
        if (sigismember(&old, s) == 1) was |= bit(s);
    return was;
}

void plat_restore_exit_signals(uint64_t saved) {
    sigset_t set = exit_signal_set(saved);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool plat_write_all(int fd, const void* data, size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

char** plat_environ() { return environ; }

int plat_env_put(char* entry) {
    const char* eq = strchr(entry, '=');
    if (!eq) return -1;
    if (eq[1] == 0) {
        // Removal: the name is the text before '='.
        char name[1024];
        size_t n = static_cast<size_t>(eq - entry);
        if (n >= sizeof name) return -1;
        memcpy(name, entry, n);
        name[n] = 0;
        return unsetenv(name);
    }
    return putenv(entry);
}

bool plat_dl_is_handle(void* handle) {
    if (!handle) return false;
    void* self = dlopen(nullptr, RTLD_NOW);
    struct link_map* map = nullptr;
    if (!self || dlinfo(self, RTLD_DI_LINKMAP, &map) != 0) return false;
    bool found = false;
    for (; map && !found; map = map->l_next) found = static_cast<void*>(map) == handle;
    dlclose(self);
    return found;
}
