#include "src/bfs/rmtree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "src/bfs/tempdir.h"
#include "src/launcher/env.h"

// Everything here may run inside a signal handler: system calls on
// descriptors and fixed buffers on the stack, no allocation, no locks.

namespace {

// Deeper trees than any program writes are left below this level; each level
// takes one listing buffer of the stack.
constexpr int kMaxDepth = 100;
constexpr size_t kListingBytes = 1024;

bool dot_or_dotdot(const char* n) { return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0)); }

void empty_at(int fd, int depth);

// Removes the subdirectory `name` of fd with everything in it; a symbolic
// link is never opened (O_NOFOLLOW).
bool remove_subdirectory(int fd, const char* name, int depth) {
    if (depth < kMaxDepth) {
        int sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub < 0 && errno == EACCES && fchmodat(fd, name, S_IRWXU, 0) == 0)
            sub = openat(fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sub >= 0) {
            // Owner access is enough to empty a read-only directory.
            fchmod(sub, S_IRWXU);
            empty_at(sub, depth + 1);
            close(sub);
        }
    }
    return unlinkat(fd, name, AT_REMOVEDIR) == 0;
}

void empty_at(int fd, int depth) {
    alignas(8) char listing[kListingBytes];
    // Entries are removed while the directory is read; a pass that removed
    // something is followed by another, until one removes nothing.
    for (bool removed = true; removed;) {
        removed = false;
        if (lseek(fd, 0, SEEK_SET) != 0) return;
        for (;;) {
            ssize_t n = getdents64(fd, listing, sizeof listing);
            if (n <= 0) break;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const struct dirent64*>(listing + at);
                at += e->d_reclen;
                if (dot_or_dotdot(e->d_name)) continue;
                // unlink removes a file or a link (never its target), even a
                // read-only one; it refuses a directory.
                bool gone = e->d_type != DT_DIR && unlinkat(fd, e->d_name, 0) == 0;
                if (!gone && (e->d_type == DT_DIR || errno == EISDIR || errno == EPERM))
                    gone = remove_subdirectory(fd, e->d_name, depth);
                removed |= gone;
            }
        }
    }
}

// Removes a registered directory: through its descriptor when the entry
// holds one, so that what is emptied is the directory that was made.
int remove_entry(const KvCleanupNode* node) {
    if (node->fd < 0) return rmtree(node->path);
    empty_at(node->fd, 0);
    return rmdir(node->path);
}

void on_exit_signal(int sig) {
    int self = plat_pid();
    for (const KvCleanupNode* n = kv_cleanup_list; n; n = n->next)
        if (n->owner == self && n->path) remove_entry(n);
    plat_die_by_signal(sig);
}

}  // namespace

int rmtree(const char* path) {
    char dir[KV_PATH_MAX + 1];
    size_t len = strlen(path);
    if (len > static_cast<size_t>(KV_PATH_MAX)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(dir, path, len + 1);
    // A trailing separator would make O_NOFOLLOW follow a symbolic link.
    while (len > 1 && dir[len - 1] == PLAT_SEP) dir[--len] = 0;
    int fd = open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        empty_at(fd, 0);
        close(fd);
    }
    return rmdir(path);
}

int kv_empty_directory(int fd) {
    if (fd < 0) return -1;
    empty_at(fd, 0);
    return 0;
}

void cleanup_temp_dirs() {
    // A signal that comes meanwhile is handled once the list is empty: it
    // then only ends the process.
    uint64_t mask = plat_block_exit_signals();
    plat_lock();
    int self = plat_pid();
    while (KvCleanupNode* node = kv_cleanup_list) {
        // A forked child leaves its parent's directories to the parent.
        if (node->owner == self && node->path && remove_entry(node) != 0) perror("rmtree failed");
        if (node->fd >= 0) close(node->fd);
        kv_cleanup_list = node->next;
        free(node->path);
        free(node);
    }
    plat_unlock();
    plat_restore_exit_signals(mask);
    kovrun_initialized = false;
}

void kv_catch_exit_signals(bool reclaim) { plat_catch_exit_signals(on_exit_signal, reclaim); }
