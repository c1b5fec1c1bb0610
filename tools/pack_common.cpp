#include "tools/pack_common.h"

#include "platform/platform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

std::string not_regular(mode_t mode) {
    const char* kind = S_ISDIR(mode) ? "a directory" : S_ISFIFO(mode) ? "a FIFO" : S_ISCHR(mode) ? "a character device"
                       : S_ISBLK(mode) ? "a block device" : S_ISSOCK(mode) ? "a socket" : S_ISLNK(mode) ? "a symbolic link"
                       : "not a file";
    return std::string("it is ") + kind + ", not a regular file";
}

bool read_file(const std::string& path, std::vector<unsigned char>* out, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = "cannot read '" + path + "': " + why;
        return false;
    };
    // The type is checked before the open, so that no device is opened; the
    // open does not wait (O_NONBLOCK) for the writer of a FIFO put in the
    // file's place meanwhile, and the check is made again on what was opened.
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return fail(strerror(errno));
    if (!S_ISREG(st.st_mode)) return fail(not_regular(st.st_mode));
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return fail(strerror(errno));
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        std::string why = S_ISREG(st.st_mode) ? strerror(errno) : not_regular(st.st_mode);
        close(fd);
        return fail(why);
    }
    out->clear();
    unsigned char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            std::string why = strerror(errno);
            close(fd);
            return fail(why);
        }
        if (n == 0) break;
        out->insert(out->end(), buf, buf + n);
    }
    close(fd);
    return true;
}

bool has_entry(const PackRequest& req, const std::string& name) {
    for (const auto& e : req.entries)
        if (e.name == name) return true;
    return false;
}

bool add_file_entry(PackRequest& req, const std::string& name, const std::string& path, std::string* error) {
    BfsWriteEntry e;
    e.name = name;
    if (!read_file(path, &e.data, error)) return false;
    for (auto& old : req.entries)
        if (old.name == name) {
            old = std::move(e);
            return true;
        }
    req.entries.push_back(std::move(e));
    return true;
}

void add_data_entry(PackRequest& req, const std::string& name, const std::string& text) {
    BfsWriteEntry e{name, std::vector<unsigned char>(text.begin(), text.end())};
    for (auto& old : req.entries)
        if (old.name == name) {
            old = std::move(e);
            return;
        }
    req.entries.push_back(std::move(e));
}

bool check_output(const std::string& path, std::string* error) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        // A new name; a missing directory is reported when the file is made.
        if (errno == ENOENT) return true;
        *error = "cannot write '" + path + "': " + strerror(errno);
        return false;
    }
    if (S_ISREG(st.st_mode)) return true;
    // A symbolic link is neither followed nor replaced: following it would
    // write wherever it points (in a shared directory, wherever another user
    // made it point), replacing it would silently turn a link the user made
    // into a file. The user names the file meant instead.
    if (S_ISLNK(st.st_mode))
        *error = "cannot write '" + path + "': it is a symbolic link; give the file it points to, or a new name";
    else
        *error = "cannot write '" + path + "': " + not_regular(st.st_mode);
    return false;
}

bool write_pack(const PackRequest& req) {
    std::vector<unsigned char> archive;
    std::vector<BfsWrittenEntry> written;
    std::string error;
    if (!check_output(req.output, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return false;
    }
    if (!bfs_write_archive(req.entries, req.options, &archive, &written, &error)) {
        fprintf(stderr, "kovpack: %s\n", error.c_str());
        return false;
    }
    std::vector<unsigned char> host;
    if (!req.host.empty()) {
        if (!read_file(req.host, &host, &error)) {
            fprintf(stderr, "kovpack: host executable: %s\n", error.c_str());
            return false;
        }
        // A host that already carries an archive would be found instead of
        // ours only if ours were missing; refuse it to avoid confusion.
        BfsArchive inner;
        std::vector<unsigned char> scratch;
        if (load_archive_file(req.host.c_str(), &scratch, &inner, &error)) {
            fprintf(stderr, "kovpack: host executable '%s' already carries an archive\n", req.host.c_str());
            return false;
        }
    }
    std::string tmp = req.output + ".kovpack-XXXXXX";
    std::vector<char> tmpl(tmp.begin(), tmp.end());
    tmpl.push_back(0);
    int fd, made_errno;
    {
        FatalSignalsBlocked blocked;
        fd = mkstemp(tmpl.data());
        made_errno = errno;
        if (fd >= 0) on_signal_remove_file(tmpl.data());
    }
    if (fd < 0) {
        fprintf(stderr, "kovpack: cannot write '%s': %s\n", req.output.c_str(), strerror(made_errno));
        return false;
    }
    int saved = 0;
    auto step = [&saved](bool ok) {
        if (!ok && !saved) saved = errno;
        return ok;
    };
    bool ok = step(plat_write_all(fd, host.data(), host.size())) && step(plat_write_all(fd, archive.data(), archive.size()));
    ok = ok && step(fchmod(fd, req.host.empty() ? 0644 : 0755) == 0);
    ok = ok && step(fsync(fd) == 0);
    ok = step(close(fd) == 0) && ok;
    {
        FatalSignalsBlocked blocked;
        // The output may have been replaced while the archive was made.
        if (ok && !check_output(req.output, &error)) {
            unlink(tmpl.data());
            on_signal_remove_file(nullptr);
            fprintf(stderr, "kovpack: %s\n", error.c_str());
            return false;
        }
        ok = ok && step(rename(tmpl.data(), req.output.c_str()) == 0);
        if (!ok) unlink(tmpl.data());
        on_signal_remove_file(nullptr);
    }
    if (!ok) {
        fprintf(stderr, "kovpack: cannot write '%s': %s\n", req.output.c_str(), strerror(saved));
        return false;
    }
    if (!req.quiet) {
        size_t plain = 0, stored = 0, compressed = 0;
        for (const auto& w : written) {
            plain += w.size;
            stored += w.stored;
            compressed += w.compressed;
            if (req.verbose)
                printf("  %-50s %10u -> %10u%s\n", w.name.c_str(), w.size, w.stored, w.compressed ? " (compressed)" : "");
        }
        printf("kovpack: wrote %s: %zu entries (%zu compressed), %zu bytes of contents stored in %zu, archive %zu bytes%s\n",
               req.output.c_str(), written.size(), compressed, plain, stored, archive.size(),
               req.host.empty() ? "" : ", appended to the host");
    }
    return true;
}

bool load_archive_file(const char* path, std::vector<unsigned char>* file, BfsArchive* archive, std::string* error) {
    if (!read_file(path, file, error)) return false;
    const auto& f = *file;
    auto is_header = [](const unsigned char* p) { return memcmp(p, BFS_MAGIC, 4) == 0 && bfs_u32(p + 4) == 1; };
    if (f.size() >= BFS_HEADER_SIZE + BFS_TRAILER_SIZE && is_header(f.data())) {
        *archive = bfs_describe(f.data(), f.size());
    } else if (f.size() >= BFS_TRAILER_SIZE && is_header(f.data() + f.size() - BFS_TRAILER_SIZE)) {
        size_t p = f.size() - BFS_TRAILER_SIZE;
        size_t s = bfs_u32(f.data() + p + 8);
        if (s >= p) {
            *error = std::string(path) + ": damaged trailer";
            return false;
        }
        *archive = bfs_describe(f.data() + (p - s), s + BFS_TRAILER_SIZE);
    } else {
        *error = std::string(path) + ": no archive found";
        return false;
    }
    if (!bfs_valid(archive) || archive->limit < BFS_HEADER_SIZE) {
        *error = std::string(path) + ": damaged archive header";
        return false;
    }
    return true;
}

namespace {

constexpr int kFatalSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2};

// What the handler removes. Written only with the signals blocked.
char g_remove_dir[PATH_MAX];
char g_remove_file[PATH_MAX];
volatile sig_atomic_t g_group_leader = 0;

void fatal_set(sigset_t* set) {
    sigemptyset(set);
    for (int sig : kFatalSignals) sigaddset(set, sig);
}

// Directories deeper than this are not the packer's; they are left alone.
constexpr int kMaxDepth = 8;

bool remove_level(int dirfd, const char* name, int depth) {
    if (unlinkat(dirfd, name, 0) == 0 || errno == ENOENT) return true;
    if (errno != EISDIR || depth == 0) return false;
    int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    alignas(struct dirent64) char buf[2048];
    ssize_t n;
    while ((n = getdents64(fd, buf, sizeof buf)) > 0) {
        for (ssize_t at = 0; at < n;) {
            const struct dirent64* d = reinterpret_cast<const struct dirent64*>(buf + at);
            at += d->d_reclen;
            if (strcmp(d->d_name, ".") != 0 && strcmp(d->d_name, "..") != 0) remove_level(fd, d->d_name, depth - 1);
        }
    }
    close(fd);
    return unlinkat(dirfd, name, AT_REMOVEDIR) == 0 || errno == ENOENT;
}

extern "C" void on_fatal_signal(int sig) {
    int saved = errno;
    pid_t leader = g_group_leader;
    if (leader > 0) {
        kill(-leader, SIGKILL);
        while (waitpid(leader, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    if (g_remove_dir[0]) {
        // A process of the group that was inside a system call when it was
        // killed may still add an entry: try again for a moment.
        for (int i = 0; i < 50 && !remove_tree(g_remove_dir) && errno == ENOTEMPTY; i++) {
            struct timespec pause = {0, 20 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
    }
    if (g_remove_file[0]) unlink(g_remove_file);
    // Die of the same signal: it is blocked while this runs, so it is
    // delivered, with its default action, when it is unblocked.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    raise(sig);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    errno = saved;
}

void install_handlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction sa {};
    sa.sa_handler = on_fatal_signal;
    fatal_set(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : kFatalSignals) {
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

void set_path(char* slot, const char* path) {
    install_handlers();
    size_t n = path ? strlen(path) : 0;
    // A path that does not fit is not kept: a cut one would name another file.
    if (n >= PATH_MAX) n = 0;
    if (n) memcpy(slot, path, n);
    slot[n] = 0;
}

}  // namespace

void on_signal_remove_dir(const char* path) { set_path(g_remove_dir, path); }
void on_signal_remove_file(const char* path) { set_path(g_remove_file, path); }
void on_signal_end_group(pid_t leader) {
    install_handlers();
    g_group_leader = leader;
}

FatalSignalsBlocked::FatalSignalsBlocked() {
    sigset_t set;
    fatal_set(&set);
    sigprocmask(SIG_BLOCK, &set, &previous_);
}

FatalSignalsBlocked::~FatalSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

bool remove_tree_at(int dirfd, const char* name) { return remove_level(dirfd, name, kMaxDepth); }
bool remove_tree(const char* path) { return remove_level(AT_FDCWD, path, kMaxDepth); }
