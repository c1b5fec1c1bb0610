#include "src/binding/runtime_load.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "src/binding/api.h"
#include "src/bfs/bfs.h"
#include "src/bfs/tempdir.h"
#include "src/launcher/diag.h"

namespace {

constexpr size_t MD5_TEXT = 32;

// Writes the entry to `path` through a private temporary file that is renamed
// into place, so that no other start ever sees a half-written library and no
// existing file or link is written through. Returns false after reporting.
bool write_library(const bfs_cursor* cursor, const char* path) {
    size_t n = bfs_size(cursor);
    auto* bytes = static_cast<unsigned char*>(malloc(n + 1));
    if (!bytes) {
        diag_print("Panic: Can't allocate memory for %s", path);
        return false;
    }
    if (!bfs_read(cursor, bytes)) {
        free(bytes);
        diag_print("Panic: Can't extract %s", path);
        return false;
    }
    size_t tmp_len = strlen(path) + 32;
    char* tmp = static_cast<char*>(malloc(tmp_len));
    if (!tmp) {
        free(bytes);
        diag_print("Panic: Can't create %s\n", path);
        return false;
    }
    snprintf(tmp, tmp_len, "%s.%d.tmp", path, plat_pid());
    unlink(tmp);
    int fd = kv_create_private_file(tmp);
    bool ok = fd >= 0 && plat_write_all(fd, bytes, n);
    if (fd >= 0 && close(fd) != 0) ok = false;
    free(bytes);
    if (ok && rename(tmp, path) != 0) ok = false;
    if (!ok) {
        unlink(tmp);
        diag_print("Panic: Can't create %s\n", path);
    }
    free(tmp);
    return ok;
}

// Writes the libraries that "*PERLDEPS" names (one entry name a line) into
// `dir`, which ends with a separator and is the runtime library's directory:
// the runtime library's run path finds them there before the system's. Each
// is written as the runtime library is, and a file already there is used as
// it is. Without "*PERLDEPS" there is nothing to do. False after reporting.
bool write_dependencies(const BfsArchive* archive, const char* dir) {
    if (!bfs_lookup(archive, "*PERLDEPS", 9, nullptr)) return true;
    char* list = bfs_extract(archive, "*PERLDEPS", "*PERLDEPS");
    if (!list) return false;
    size_t dir_length = strlen(dir);
    bool ok = true;
    char* line = list;
    while (ok && *line) {
        char* end = strchr(line, '\n');
        if (!end) end = line + strlen(line);
        size_t length = static_cast<size_t>(end - line);
        char* next = *end ? end + 1 : end;
        *end = 0;
        if (length) {
            char* path = static_cast<char*>(malloc(dir_length + length + 1));
            if (!path) {
                diag_print("Panic: Can't malloc name (%d)\n", static_cast<int>(dir_length + length));
                ok = false;
                break;
            }
            memcpy(path, dir, dir_length);
            memcpy(path + dir_length, line, length + 1);
            // The name becomes a file name in the directory: it must not
            // climb out of it nor name the directory itself.
            bool plain = line[0] != '.' && !strchr(line, '/') && !strchr(line, PLAT_SEP);
            bfs_cursor cursor;
            struct stat st;
            if (!plain || !bfs_lookup(archive, line, length, &cursor)) {
                diag_print("Panic: Can't extract %s", path);
                ok = false;
            } else if (lstat(path, &st) != 0 && !write_library(&cursor, path)) {
                ok = false;
            }
            free(path);
        }
        line = next;
    }
    free(list);
    return ok;
}

}  // namespace

void* load_runtime(KovrunSession* session, const char* name, const char* alternative) {
    const char* used = nullptr;
    char* path = nullptr;
    void* handle = nullptr;

    // 1. Already in the process.
    if ((handle = plat_dl_loaded(name))) {
        used = name;
    } else if (alternative && (handle = plat_dl_loaded(alternative))) {
        used = alternative;
    }

    if (!handle) {
        // 2. Bound in the archive, under the first name or the alternative.
        bfs_cursor cursor;
        const char* chosen = nullptr;
        if (bfs_lookup(session->archive, name, strlen(name), &cursor))
            chosen = name;
        else if (alternative && bfs_lookup(session->archive, alternative, strlen(alternative), &cursor))
            chosen = alternative;

        if (chosen) {
            // 3. The directory it goes to.
            const char* dir = make_temp_dir(session, session->clean);
            if (!dir) {
                diag_print("Panic: Can't find temp dir for kovar");
                return nullptr;
            }
            // 4. The checksum that names the cache directory.
            char md5[MD5_TEXT + 1] = {0};
            if (!session->clean) {
                bfs_cursor sum;
                if (!bfs_lookup(session->archive, "perl.md5", 8, &sum) || bfs_size(&sum) != MD5_TEXT || !bfs_read(&sum, md5)) {
                    diag_print("Panic: Can't extract MD5 checksum for %s\n", chosen);
                    return nullptr;
                }
                md5[MD5_TEXT] = 0;
                // The checksum becomes a directory name: it must not climb out.
                for (size_t i = 0; i < MD5_TEXT; i++) {
                    if (md5[i] == '/' || md5[i] == 0 || (md5[i] == '.' && i == 0)) {
                        diag_print("Panic: Can't extract MD5 checksum for %s\n", chosen);
                        return nullptr;
                    }
                }
            }
            // 5. The library's path.
            size_t length = strlen(dir) + strlen(chosen) + (session->clean ? 0 : MD5_TEXT + 1);
            path = static_cast<char*>(malloc(length + 1));
            if (!path) {
                diag_print("Panic: Can't malloc name (%d)\n", static_cast<int>(length));
                return nullptr;
            }
            strcpy(path, dir);
            if (!session->clean) {
                strcat(path, md5);
                mkdir(path, 0700);
                size_t at = strlen(path);
                path[at] = PLAT_SEP;
                path[at + 1] = 0;
            }
            // The libraries it needs go beside it first, so that a runtime
            // library found in the directory has them there too.
            if (!write_dependencies(session->archive, path)) {
                free(path);
                return nullptr;
            }
            strcat(path, chosen);
            // 6. Write it out unless an earlier run left it, then load it.
            struct stat st;
            if (lstat(path, &st) != 0) {
                if (!write_library(&cursor, path)) {
                    free(path);
                    return nullptr;
                }
            }
            if ((handle = plat_dl_open(path))) {
                used = path;
            } else {
                free(path);
                path = nullptr;
            }
        }
    }

    // 7 and 8. The system's search path, alternative first.
    if (!handle && alternative && (handle = plat_dl_open(alternative))) used = alternative;
    if (!handle && (handle = plat_dl_open(name))) used = name;
    if (!handle) {
        if (alternative)
            diag_print("Panic: Can't locate either %s or %s\n", name, alternative);
        else
            diag_print("Panic: Can't locate %s\n", name);
        return nullptr;
    }

    // 9. The API table, replaced only by a complete one of a library for the
    // embedded Perl.
    ApiRefusal why;
    if (!resolve_api(handle, &why)) {
        if (why == ApiRefusal::incomplete)
            diag_print("Panic: Some symbols not resolvable from %s\n", used);
        else
            diag_print("Panic: %s is not a runtime library for " KV_PERL_ABI "\n", used);
        free(path);
        plat_dl_close(handle);
        return nullptr;
    }
    free(path);
    return handle;
}
