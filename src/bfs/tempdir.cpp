#include "src/bfs/tempdir.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "src/bfs/bfs.h"
#include "src/launcher/diag.h"

KvCleanupNode* kv_cleanup_list = nullptr;

namespace {

// The temporary path, separator included, may take at most this many
// characters less the user name's length; "qrx-USER/" then ends the base
// path at 258 characters.
constexpr size_t kTempMax = 253;

// Computes the base path into out (KV_PATH_MAX + 2 bytes).
bool compute_base_path(const BfsArchive* archive, char* out) {
    size_t len = 0;
    char* t = archive ? bfs_extract(archive, "*TMPDIR", "tmpdir") : nullptr;
    if (t) {
        len = strlen(t);
        if (len > static_cast<size_t>(KV_PATH_MAX)) {
            free(t);
            return false;
        }
        memcpy(out, t, len + 1);
        free(t);
    } else if (!plat_temp_path(out, KV_PATH_MAX + 1, &len)) {
        diag_print("TEMP path need more than %d characters", KV_PATH_MAX);
        return false;
    }
    if (len > 0 && out[len - 1] != PLAT_SEP) {
        out[len++] = PLAT_SEP;
        out[len] = 0;
    }
    char user[KV_PATH_MAX + 1];
    return kv_user_dir_path(out, len, plat_user_name(user, sizeof user) ? user : nullptr);
}

// An existing directory is trusted only when nobody else can have planted it
// or can change what is inside: a real directory (lstat, so a symbolic link
// does not count) of the effective user, not writable by group or others.
bool private_dir(const char* path) {
    char dir[KV_PATH_MAX + 3];
    size_t n = strlen(path);
    if (n >= sizeof dir) return false;
    memcpy(dir, path, n + 1);
    // A trailing separator would make lstat follow a symbolic link.
    while (n > 1 && dir[n - 1] == PLAT_SEP) dir[--n] = 0;
    struct stat st;
    return lstat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// 1: made now (mode 0700), 0: already there and safe to use, -1: failure (reported).
int make_dir(const char* path) {
    if (mkdir(path, S_IRWXU) == 0) return 1;
    int e = errno;
    if (e != EEXIST) {
        fprintf(stderr, "mkdir(\"%s\") failed, errno=%d\n", path, e);
        return -1;
    }
    if (!private_dir(path)) {
        fprintf(stderr, "Refusing to use %s: not a private directory of this user\n", path);
        return -1;
    }
    return 0;
}

// A relative directory is listed under its absolute path, so that removal at
// exit finds it whatever the current directory is by then.
void register_absolute(const char* path) {
    char* cwd = path[0] == PLAT_SEP ? nullptr : getcwd(nullptr, 0);
    if (!cwd) {
        kv_register_cleanup(path);
        return;
    }
    size_t c = strlen(cwd), n = strlen(path);
    auto* full = static_cast<char*>(panic_alloc(c + n + 2, "cleanup path"));
    if (full) {
        memcpy(full, cwd, c);
        if (c == 0 || cwd[c - 1] != PLAT_SEP) full[c++] = PLAT_SEP;
        memcpy(full + c, path, n + 1);
        kv_register_cleanup(full);
    }
    free(full);
    free(cwd);
}

}  // namespace

bool kv_user_dir_path(char* path, size_t len, const char* user) {
    size_t u = user ? strlen(user) : 0;
    if (len + u > kTempMax) return false;
    memcpy(path + len, "qrx", 3);
    len += 3;
    if (u > 0) {
        path[len++] = '-';
        memcpy(path + len, user, u);
        len += u;
    }
    path[len++] = PLAT_SEP;
    path[len] = 0;
    return true;
}

bool kv_process_dir_path(const char* base, int pid, char* out) {
    char p[16];
    snprintf(p, sizeof p, "%d%c", pid, PLAT_SEP);
    size_t len = strlen(base);
    size_t plen = strlen(p);
    if (len == 0 || len > static_cast<size_t>(KV_PATH_MAX) || plen > KV_PATH_MAX - len) return false;
    // The process directory is a sibling: its name replaces the base's final separator.
    memcpy(out, base, len);
    out[len - 1] = '-';
    memcpy(out + len, p, plen + 1);
    return true;
}

int kv_create_private_file(const char* path) {
    return open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRWXU);
}

bool kv_register_cleanup(const char* path) {
    bool listed = false;
    plat_lock();
    for (KvCleanupNode* n = kv_cleanup_list; n && !listed; n = n->next) listed = n->path && strcmp(n->path, path) == 0;
    if (!listed) {
        auto* node = static_cast<KvCleanupNode*>(panic_alloc(sizeof(KvCleanupNode), "cleanup entry"));
        size_t size = strlen(path) + 1;
        auto* copy = node ? static_cast<char*>(panic_alloc(size, "cleanup path")) : nullptr;
        if (copy) {
            memcpy(copy, path, size);
            node->path = copy;
            node->next = kv_cleanup_list;
            kv_cleanup_list = node;
            listed = true;
        } else {
            free(node);
        }
    }
    plat_unlock();
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

    if (which == 0) {
        if (session->base_made) return session->base_path;
        int made = make_dir(session->base_path);
        if (made < 0) return nullptr;
        if (made == 1) {
            // Every run of the user reads the cached runtime library here.
            if (chmod(session->base_path, 0755) != 0) {
                int e = errno;
                fprintf(stderr, "chmod(\"%s\", 0755) failed, errno=%d\n", session->base_path, e);
                return nullptr;
            }
            session->base_made = 1;
        }
        return session->base_path;
    }

    if (session->process_made) return session->process_path;
    if (!kv_process_dir_path(session->base_path, plat_pid(), session->process_path)) return nullptr;
    // A directory left by an earlier process with the same id is taken over.
    if (make_dir(session->process_path) < 0) return nullptr;
    register_absolute(session->process_path);
    session->process_made = 1;
    return session->process_path;
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
