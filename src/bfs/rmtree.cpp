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

namespace {

// Lists the directory buf names; buf may be trimmed of trailing separators.
// A symbolic link is not opened (O_NOFOLLOW, which a trailing separator
// would defeat).
DIR* open_listing(char* buf, size_t len) {
    while (len > 1 && buf[len - 1] == PLAT_SEP) buf[--len] = 0;
    int fd = open(buf, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return nullptr;
    DIR* dir = fdopendir(fd);
    if (!dir) close(fd);
    return dir;
}

}  // namespace

int rmtree(const char* path) {
    size_t len = strlen(path);
    size_t capacity = len + 258;
    auto* buf = static_cast<char*>(malloc(capacity));
    DIR* dir = nullptr;
    if (buf) {
        memcpy(buf, path, len + 1);
        dir = open_listing(buf, len);
    }
    if (dir) {
        memcpy(buf, path, len + 1);
        size_t base = len;
        if (base == 0 || buf[base - 1] != PLAT_SEP) buf[base++] = PLAT_SEP;
        while (const dirent* e = readdir(dir)) {
            const char* name = e->d_name;
            if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0) continue;
            size_t need = base + strlen(name) + 1;
            if (need > capacity) {
                auto* bigger = static_cast<char*>(realloc(buf, need));
                if (!bigger) continue;  // left behind; the final rmdir reports it
                buf = bigger;
                capacity = need;
            }
            memcpy(buf + base, name, need - base);
            // Owner access is enough to delete a read-only file or to empty a
            // read-only directory; a link's target is never touched.
            struct stat st;
            if (lstat(buf, &st) == 0 && !S_ISLNK(st.st_mode)) chmod(buf, S_IRWXU);
            if (unlink(buf) != 0) rmtree(buf);
        }
        closedir(dir);
    }
    free(buf);
    return rmdir(path);
}

void cleanup_temp_dirs() {
    plat_lock();
    while (KvCleanupNode* node = kv_cleanup_list) {
        if (node->path && rmtree(node->path) != 0) perror("rmtree failed");
        kv_cleanup_list = node->next;
        free(node->path);
        free(node);
    }
    plat_unlock();
    kovrun_initialized = false;
}
