#include "src/bfs/tempdir.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"
#include "src/bfs/bfs.h"
#include "src/bfs/rmtree.h"
#include "src/launcher/diag.h"

KvCleanupNode* kv_cleanup_list = nullptr;

namespace {

// Hexadecimal digits of the random part of a process directory's name.
constexpr size_t kSuffixDigits = 12;
// New names drawn before a process directory is given up.
constexpr int kNameAttempts = 16;

// Process-wide (a forked child inherits them): the base path whose stale
// siblings were swept last, whether the fallback from a foreign base
// directory has been reported, and the fallback under $XDG_RUNTIME_DIR.
char g_swept[KV_PATH_MAX + 1];
bool g_fallback_reported = false;
char g_runtime_base[KV_PATH_MAX + 1];

void report_too_long() { diag_print("TEMP path need more than %d characters\n", KV_PATH_MAX); }

void report_failure(const char* call, const char* path, int e) {
    fprintf(stderr, "%s(\"%s\") failed, errno=%d: %s\n", call, path, e, strerror(e));
}

// Computes the base path into out (KV_PATH_MAX + 2 bytes).
bool compute_base_path(const BfsArchive* archive, char* out) {
    size_t len = 0;
    char* t = archive ? bfs_extract(archive, "*TMPDIR", "tmpdir") : nullptr;
    if (t) {
        len = strlen(t);
        bool fits = len <= static_cast<size_t>(KV_PATH_MAX);
        if (fits) memcpy(out, t, len + 1);
        free(t);
        if (!fits) {
            report_too_long();
            return false;
        }
    } else if (!plat_temp_path(out, KV_PATH_MAX + 1, &len)) {
        report_too_long();
        return false;
    }
    if (len > 0 && out[len - 1] != PLAT_SEP) {
        out[len++] = PLAT_SEP;
        out[len] = 0;
    }
    // A name that cannot be one path component counts as no name.
    char user[256];
    bool named = plat_user_name(user, sizeof user) && !strchr(user, PLAT_SEP) && strcmp(user, ".") != 0 &&
                 strcmp(user, "..") != 0;
    if (!kv_user_dir_path(out, len, named ? user : nullptr)) {
        report_too_long();
        return false;
    }
    return true;
}

// The directory at path, not followed through a symbolic link, opened for
// listing and locking; -1 with errno.
int open_directory(const char* path) {
    char dir[KV_PATH_MAX + 1];
    size_t n = strlen(path);
    if (n > static_cast<size_t>(KV_PATH_MAX)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(dir, path, n + 1);
    // A trailing separator would make O_NOFOLLOW follow a symbolic link.
    while (n > 1 && dir[n - 1] == PLAT_SEP) dir[--n] = 0;
    return open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// An existing directory is trusted only when nobody else can have planted it
// or can change what is inside: a real directory (lstat, so a symbolic link
// does not count) of the effective user without any of the `denied` mode bits.
bool private_dir(const char* path, mode_t denied) {
    char dir[KV_PATH_MAX + 1];
    size_t n = strlen(path);
    if (n > static_cast<size_t>(KV_PATH_MAX)) return false;
    memcpy(dir, path, n + 1);
    // A trailing separator would make lstat follow a symbolic link.
    while (n > 1 && dir[n - 1] == PLAT_SEP) dir[--n] = 0;
    struct stat st;
    return lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == plat_uid() && (st.st_mode & denied) == 0;
}

// A per-user directory: 1 made now (with `mode`), 0 already there and safe to
// use, -1 failure (reported unless `quiet`), -2 there but not private.
int make_user_dir(const char* path, mode_t mode, bool quiet) {
    if (mkdir(path, S_IRWXU) == 0) {
        if (mode != S_IRWXU && chmod(path, mode) != 0) {
            int e = errno;
            if (!quiet) fprintf(stderr, "chmod(\"%s\", 0%o) failed, errno=%d: %s\n", path, mode, e, strerror(e));
            return -1;
        }
        return 1;
    }
    int e = errno;
    if (e != EEXIST) {
        if (!quiet) report_failure("mkdir", path, e);
        return -1;
    }
    return private_dir(path, S_IWGRP | S_IWOTH) ? 0 : -2;
}

// Twelve lowercase hexadecimal digits, drawn anew at every call.
void make_suffix(char* out) {
    unsigned char bytes[kSuffixDigits / 2];
    if (!plat_random(bytes, sizeof bytes)) {
        // No random source: the time, the process and a counter still differ
        // between attempts and processes.
        static uint64_t counter = 0;
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        uint64_t v = (static_cast<uint64_t>(ts.tv_sec) * 1000000007u) ^ static_cast<uint64_t>(ts.tv_nsec) ^
                     (static_cast<uint64_t>(plat_pid()) << 24) ^ (++counter * 0x9E3779B97F4A7C15u);
        memcpy(bytes, &v, sizeof bytes);
    }
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < sizeof bytes; i++) {
        out[2 * i] = hex[bytes[i] >> 4];
        out[2 * i + 1] = hex[bytes[i] & 15];
    }
    out[kSuffixDigits] = 0;
}

// True when name is "PREFIXPID-SUFFIX", prefix being "qrx-USER-".
bool process_dir_name(const char* name, const char* prefix, size_t prefix_length) {
    if (strncmp(name, prefix, prefix_length) != 0) return false;
    const char* p = name + prefix_length;
    size_t digits = 0;
    while (p[digits] >= '0' && p[digits] <= '9') digits++;
    if (digits == 0 || digits > 10 || p[digits] != '-') return false;
    p += digits + 1;
    for (size_t i = 0; i < kSuffixDigits; i++)
        if (!((p[i] >= '0' && p[i] <= '9') || (p[i] >= 'a' && p[i] <= 'f'))) return false;
    return p[kSuffixDigits] == 0;
}

// Removes the process directories beside base ("DIR/qrx-USER/") that no live
// process holds: real directories of this user named qrx-USER-PID-SUFFIX
// whose lock can be taken. The process id in the name decides nothing. Once
// per base path and process.
void sweep_stale(const char* base) {
    if (strcmp(g_swept, base) == 0) return;
    size_t len = strlen(base);
    memcpy(g_swept, base, len + 1);
    size_t name_at = len - 1;  // base ends with a separator
    while (name_at > 0 && base[name_at - 1] != PLAT_SEP) name_at--;
    char dir[KV_PATH_MAX + 1], prefix[KV_PATH_MAX + 1];
    if (name_at == 0) {
        memcpy(dir, ".", 2);
    } else {
        memcpy(dir, base, name_at);
        dir[name_at] = 0;
    }
    size_t prefix_length = len - 1 - name_at;
    memcpy(prefix, base + name_at, prefix_length);
    prefix[prefix_length++] = '-';
    prefix[prefix_length] = 0;

    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* listing = dfd >= 0 ? fdopendir(dfd) : nullptr;
    if (!listing) {
        if (dfd >= 0) close(dfd);
        return;
    }
    while (const dirent* e = readdir(listing)) {
        if ((e->d_type != DT_DIR && e->d_type != DT_UNKNOWN) || !process_dir_name(e->d_name, prefix, prefix_length))
            continue;
        struct stat st, held;
        if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != plat_uid())
            continue;
        int fd = openat(dfd, e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) continue;
        // A directory on a file system without locks is never judged stale.
        if (fstat(fd, &held) == 0 && held.st_dev == st.st_dev && held.st_ino == st.st_ino && plat_try_lock(fd) == 1) {
            kv_empty_directory(fd);
            unlinkat(dfd, e->d_name, AT_REMOVEDIR);
        }
        close(fd);
    }
    closedir(listing);
}

// Makes a new process directory for base into out (KV_PATH_MAX + 1 bytes)
// and returns its descriptor, locked when the file system allows; -1 on
// failure (reported).
int make_process_dir(const char* base, char* out) {
    for (int attempt = 0; attempt < kNameAttempts; attempt++) {
        char suffix[kSuffixDigits + 1];
        make_suffix(suffix);
        if (!kv_process_dir_path(base, plat_pid(), suffix, out)) {
            report_too_long();
            return -1;
        }
        if (mkdir(out, S_IRWXU) != 0) {
            if (errno == EEXIST) continue;  // not ours: another name is drawn
            report_failure("mkdir", out, errno);
            return -1;
        }
        int fd = open_directory(out);
        if (fd < 0) {
            if (errno == ENOENT) continue;
            report_failure("open", out, errno);
            return -1;
        }
        // A start sweeping at this moment may have found the new directory
        // unlocked: it then holds the lock, or has removed the directory.
        struct stat st;
        if (plat_try_lock(fd) == 0 || fstat(fd, &st) != 0 || st.st_nlink == 0 || st.st_uid != plat_uid() ||
            (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            close(fd);
            continue;
        }
        return fd;
    }
    report_failure("mkdir", out, EEXIST);
    return -1;
}

// Links a node for path into the cleanup list. The path copy holds the
// absolute path, then base and shown when given.
bool register_node(const char* path, const char* base, const char* shown, int fd) {
    size_t p = strlen(path) + 1, b = base ? strlen(base) + 1 : 0, s = shown ? strlen(shown) + 1 : 0;
    auto* node = static_cast<KvCleanupNode*>(panic_alloc(sizeof(KvCleanupNode), "cleanup entry"));
    auto* copy = node ? static_cast<char*>(panic_alloc(p + b + s, "cleanup path")) : nullptr;
    if (!copy) {
        free(node);
        return false;
    }
    memcpy(copy, path, p);
    if (base) memcpy(copy + p, base, b);
    if (shown) memcpy(copy + p + b, shown, s);
    node->path = copy;
    node->base = base ? copy + p : nullptr;
    node->shown = shown ? copy + p + b : nullptr;
    node->owner = plat_pid();
    node->fd = fd;
    node->next = kv_cleanup_list;
    kv_cleanup_list = node;
    return true;
}

// Registers the process directory made for base. A relative directory is
// listed under its absolute path, so that removal at exit finds it whatever
// the current directory is by then.
bool register_process_dir(const char* path, const char* base, int fd) {
    char* cwd = path[0] == PLAT_SEP ? nullptr : getcwd(nullptr, 0);
    char* full = nullptr;
    if (cwd) {
        size_t c = strlen(cwd), n = strlen(path);
        full = static_cast<char*>(panic_alloc(c + n + 2, "cleanup path"));
        if (!full) {
            free(cwd);
            return false;
        }
        memcpy(full, cwd, c);
        if (c == 0 || cwd[c - 1] != PLAT_SEP) full[c++] = PLAT_SEP;
        memcpy(full + c, path, n + 1);
    }
    uint64_t mask = plat_block_exit_signals();
    plat_lock();
    bool listed = register_node(full ? full : path, base, path, fd);
    plat_unlock();
    plat_restore_exit_signals(mask);
    free(full);
    free(cwd);
    return listed;
}

// The process directory this process already made for base, copied into out.
bool own_process_dir(const char* base, char* out) {
    bool found = false;
    int self = plat_pid();
    plat_lock();
    for (const KvCleanupNode* n = kv_cleanup_list; n && !found; n = n->next) {
        found = n->owner == self && n->base && n->shown && strcmp(n->base, base) == 0;
        if (found) memcpy(out, n->shown, strlen(n->shown) + 1);
    }
    plat_unlock();
    return found;
}

const char* process_dir(KovrunSession* session) {
    if (session->process_made) return session->process_path;
    char path[KV_PATH_MAX + 1];
    if (!own_process_dir(session->base_path, path)) {
        int fd = make_process_dir(session->base_path, path);
        if (fd < 0) return nullptr;
        // Unregistered (the failure is reported), the directory is still
        // used; its descriptor stays open to keep it locked.
        register_process_dir(path, session->base_path, fd);
    }
    memcpy(session->process_path, path, strlen(path) + 1);
    session->process_made = 1;
    return session->process_path;
}

// TEMP/qrx-USER/ under $XDG_RUNTIME_DIR, made when needed, when that is the
// user's private directory; null otherwise.
const char* runtime_dir_base(const char* base) {
    if (g_runtime_base[0]) return g_runtime_base;
    const char* xdg = getenv("XDG_RUNTIME_DIR");
    if (!xdg || xdg[0] != PLAT_SEP || !private_dir(xdg, S_IRWXG | S_IRWXO)) return nullptr;
    size_t x = strlen(xdg);
    while (x > 1 && xdg[x - 1] == PLAT_SEP) x--;
    size_t len = strlen(base), name_at = len - 1;
    while (name_at > 0 && base[name_at - 1] != PLAT_SEP) name_at--;
    size_t name = len - name_at;  // "qrx-USER/"
    if (x + 1 + name > static_cast<size_t>(KV_PATH_MAX)) return nullptr;
    char path[KV_PATH_MAX + 1];
    memcpy(path, xdg, x);
    path[x] = PLAT_SEP;
    memcpy(path + x + 1, base + name_at, name + 1);
    if (make_user_dir(path, S_IRWXU, true) < 0) return nullptr;
    memcpy(g_runtime_base, path, strlen(path) + 1);
    return g_runtime_base;
}

const char* base_dir(KovrunSession* session) {
    if (session->base_dir) return session->base_dir;
    int made = make_user_dir(session->base_path, 0755, false);
    if (made == -1) return nullptr;
    if (made >= 0) {
        // Every run of the user reads the cached runtime library here.
        session->base_made = made;
        session->base_dir = session->base_path;
        return session->base_dir;
    }
    // Someone else holds the name: refusing it must not stop the program.
    const char* alt = runtime_dir_base(session->base_path);
    if (!alt) alt = process_dir(session);
    if (!alt) return nullptr;
    if (!g_fallback_reported) {
        g_fallback_reported = true;
        char message[2 * KV_PATH_MAX + 96];
        snprintf(message, sizeof message, "Refusing to use %s: not a private directory of this user; using %s instead\n",
                 session->base_path, alt);
        plat_debug_output(message);
    }
    session->base_dir = alt;
    return alt;
}

}  // namespace

bool kv_user_dir_path(char* path, size_t len, const char* user) {
    char id[16];
    if (!user || !*user) {
        snprintf(id, sizeof id, "%u", plat_uid());
        user = id;
    }
    size_t u = strlen(user);
    if (len + 5 + u > static_cast<size_t>(KV_PATH_MAX)) return false;
    memcpy(path + len, "qrx-", 4);
    len += 4;
    memcpy(path + len, user, u);
    len += u;
    path[len++] = PLAT_SEP;
    path[len] = 0;
    return true;
}

bool kv_process_dir_path(const char* base, int pid, const char* suffix, char* out) {
    char p[64];
    int plen = snprintf(p, sizeof p, "%d-%s%c", pid, suffix, PLAT_SEP);
    size_t len = strlen(base);
    if (len == 0 || plen < 0 || static_cast<size_t>(plen) >= sizeof p || len + static_cast<size_t>(plen) > static_cast<size_t>(KV_PATH_MAX))
        return false;
    // The process directory is a sibling: its name replaces the base's final separator.
    memcpy(out, base, len);
    out[len - 1] = '-';
    memcpy(out + len, p, static_cast<size_t>(plen) + 1);
    return true;
}

int kv_create_private_file(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRWXU);
}

bool kv_register_cleanup(const char* path) {
    bool listed = false;
    int self = plat_pid();
    uint64_t mask = plat_block_exit_signals();
    plat_lock();
    for (const KvCleanupNode* n = kv_cleanup_list; n && !listed; n = n->next)
        listed = n->owner == self && n->path && strcmp(n->path, path) == 0;
    if (!listed) listed = register_node(path, nullptr, nullptr, -1);
    plat_unlock();
    plat_restore_exit_signals(mask);
    return listed;
}

const char* make_temp_dir(KovrunSession* session, int which) {
    if (!session->base_path[0]) {
        // Built aside so that a failure leaves the path empty and a later
        // call starts again instead of using a half-made path.
        char base[KV_PATH_MAX + 2];
        if (!compute_base_path(session->archive, base)) return nullptr;
        memcpy(session->base_path, base, strlen(base) + 1);
    }
    sweep_stale(session->base_path);
    return which == 0 ? base_dir(session) : process_dir(session);
}

int kv_open_private_dir(const char* path, bool make) {
    size_t n = strlen(path);
    auto* dir = static_cast<char*>(malloc(n + 1));
    if (!dir) {
        errno = ENOMEM;
        return -1;
    }
    memcpy(dir, path, n + 1);
    // A trailing separator would make the open follow a symbolic link.
    while (n > 1 && dir[n - 1] == PLAT_SEP) dir[--n] = 0;
    int fd = -1;
    if (!make || mkdir(dir, S_IRWXU) == 0 || errno == EEXIST)
        fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int e = errno;
    free(dir);
    if (fd < 0) {
        // A symbolic link, or a file where the directory should be.
        if (e == ELOOP || e == ENOTDIR) return -2;
        errno = e;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        e = errno;
        close(fd);
        errno = e;
        return -1;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        close(fd);
        return -2;
    }
    return fd;
}
