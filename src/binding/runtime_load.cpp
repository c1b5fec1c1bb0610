#include "src/binding/runtime_load.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "platform/platform.h"
#include "src/binding/api.h"
#include "src/bfs/bfs.h"
#include "src/bfs/tempdir.h"
#include "src/launcher/diag.h"

namespace {

constexpr size_t MD5_TEXT = 32;
// Entry NAME.crc32: the CRC-32 of library NAME.
constexpr char CRC_SUFFIX[] = ".crc32";
constexpr size_t CRC_TEXT = 8;

// A library that goes into the runtime library's directory: one that a list
// entry ("*PERLDEPS", "*TRAYLIBS") names, or the library that is loaded.
struct Library {
    const char* name;
    bfs_cursor cursor;
    char* path;            // owned
    unsigned char* bytes;  // owned: the contents, read and checked, until written
    bool write;            // not in the directory as the archive has it
};

struct LibrarySet {
    Library* items;  // owned
    size_t count;
    char* list;  // owned: the list entry's text, which the names point into
};

void free_libraries(LibrarySet* set) {
    for (size_t i = 0; i < set->count; i++) {
        free(set->items[i].path);
        free(set->items[i].bytes);
    }
    free(set->items);
    free(set->list);
}

// Adds `name` with its path in `dir`, which ends with a separator. The name
// becomes a file name in the directory: it must not climb out of it nor name
// the directory itself. False after reporting.
bool add_library(LibrarySet* set, const BfsArchive* archive, const char* name, const bfs_cursor* cursor,
                 const char* dir) {
    size_t dir_length = strlen(dir), length = strlen(name);
    auto* path = static_cast<char*>(malloc(dir_length + length + 1));
    if (!path) {
        diag_print("Panic: Can't malloc name (%d)\n", static_cast<int>(dir_length + length));
        return false;
    }
    memcpy(path, dir, dir_length);
    memcpy(path + dir_length, name, length + 1);
    Library* lib = &set->items[set->count];
    bool plain = name[0] && name[0] != '.' && !strchr(name, '/') && !strchr(name, PLAT_SEP);
    if (plain && cursor)
        lib->cursor = *cursor;
    else if (!plain || !bfs_lookup(archive, name, length, &lib->cursor)) {
        diag_print("Panic: Can't extract %s\n", path);
        free(path);
        return false;
    }
    lib->name = name;
    lib->path = path;
    lib->bytes = nullptr;
    lib->write = true;
    set->count++;
    return true;
}

// The libraries that the list entry `list_name` names (one entry name a
// line, blank lines skipped), then the library `chosen` found at `cursor`,
// each with its path in `dir`. Without `chosen` the list's last library is
// the one to load, and the list must name one. The library to load is the
// set's last. False after reporting; the set is to be freed either way.
bool collect_libraries(const BfsArchive* archive, const char* list_name, const char* chosen, const bfs_cursor* cursor,
                       const char* dir, LibrarySet* set) {
    *set = LibrarySet{nullptr, 0, nullptr};
    size_t lines = 0;
    if (bfs_lookup(archive, list_name, strlen(list_name), nullptr)) {
        set->list = bfs_extract(archive, list_name, list_name);
        if (!set->list) return false;
        for (const char* p = set->list; *p; p++) lines += *p == '\n';
        lines++;
    }
    set->items = static_cast<Library*>(panic_alloc((lines + 1) * sizeof(Library), "library list"));
    if (!set->items) return false;
    for (char* line = set->list; line && *line;) {
        char* end = strchr(line, '\n');
        char* next = end ? end + 1 : line + strlen(line);
        if (end) *end = 0;
        if (*line && !add_library(set, archive, line, nullptr, dir)) return false;
        line = next;
    }
    if (chosen) return add_library(set, archive, chosen, cursor, dir);
    if (set->count == 0) {
        diag_print("Panic: %s names no library\n", list_name);
        return false;
    }
    return true;
}

// The library as the archive holds it, in lib->bytes, after checking it
// against the entry "NAME.crc32" (its CRC-32 as 8 hexadecimal digits) when
// the archive has one: a damaged archive must never put a damaged library
// under the genuine name into the cache, where every later start would load
// it. CRC-32 finds every burst of damage up to 32 bits and all but one in
// four thousand million of the rest, at a fraction of a digest's cost on
// the first start. False after reporting.
bool read_checked(const BfsArchive* archive, Library* lib) {
    if (!bfs_entry_plausible(&lib->cursor)) {
        diag_print("Panic: Can't extract %s\n", lib->path);
        return false;
    }
    uint32_t n = bfs_size(&lib->cursor);
    lib->bytes = static_cast<unsigned char*>(malloc(static_cast<size_t>(n) + 1));
    if (!lib->bytes) {
        diag_print("Panic: Can't allocate memory for %s\n", lib->path);
        return false;
    }
    if (!bfs_read(&lib->cursor, lib->bytes)) {
        diag_print("Panic: Can't extract %s\n", lib->path);
        return false;
    }
    size_t length = strlen(lib->name);
    auto* sum_name = static_cast<char*>(malloc(length + sizeof CRC_SUFFIX));
    if (!sum_name) {
        diag_print("Panic: Can't malloc name (%d)\n", static_cast<int>(length + sizeof CRC_SUFFIX - 1));
        return false;
    }
    memcpy(sum_name, lib->name, length);
    memcpy(sum_name + length, CRC_SUFFIX, sizeof CRC_SUFFIX);
    bfs_cursor sum;
    bool listed = bfs_lookup(archive, sum_name, length + sizeof CRC_SUFFIX - 1, &sum);
    free(sum_name);
    if (!listed) return true;  // archives from before the checksums were bound

    char expected[CRC_TEXT + 1] = {0};
    bool ok = bfs_size(&sum) == CRC_TEXT && bfs_read(&sum, expected) &&
              strspn(expected, "0123456789abcdefABCDEF") == CRC_TEXT &&
              strtoul(expected, nullptr, 16) == crc32(0, lib->bytes, n);
    if (!ok) diag_print("Panic: Damaged archive: %s does not match its checksum\n", lib->name);
    return ok;
}

// Writes n bytes to `path` through a private temporary file beside it that is
// renamed into place, so that no start ever sees a half-written library and
// no existing file or link is written through. A file for the cache is
// synced before the rename, so that not even a power loss leaves a truncated
// library under the genuine name; one for the process directory lives only
// as long as this process. False after reporting.
bool write_file(const char* path, const unsigned char* bytes, size_t n, bool sync) {
    size_t tmp_length = strlen(path) + 32;
    auto* tmp = static_cast<char*>(malloc(tmp_length));
    if (!tmp) {
        diag_print("Panic: Can't create %s: %s\n", path, strerror(ENOMEM));
        return false;
    }
    // "NAME.PID.tmp"; taken (a writer with the same process id in another
    // PID namespace, or a file left over), another name.
    int fd = -1, e = 0;
    for (int k = 0; k < 100 && fd < 0; k++) {
        if (k == 0)
            snprintf(tmp, tmp_length, "%s.%d.tmp", path, plat_pid());
        else
            snprintf(tmp, tmp_length, "%s.%d-%d.tmp", path, plat_pid(), k);
        fd = kv_create_private_file(tmp);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0)
        e = errno;
    else if (!plat_write_all(fd, bytes, n) || (sync && fdatasync(fd) != 0))
        e = errno;
    if (fd >= 0 && close(fd) != 0 && !e && errno != EINTR) e = errno;
    if (!e && rename(tmp, path) != 0) e = errno;
    if (e) {
        if (fd >= 0) unlink(tmp);
        diag_print("Panic: Can't create %s: %s\n", path, strerror(e));
    }
    free(tmp);
    return !e;
}

bool lock_directory(int fd, int how) {
    while (flock(fd, how) != 0)
        if (errno != EINTR) return false;
    return true;
}

// Opens the cache directory, made when `make` is set, on the terms of the
// base directory. -1 after reporting; -2, quietly, when it is absent and not
// to be made.
int open_cache_directory(const char* dir, bool make) {
    int fd = kv_open_private_dir(dir, make);
    if (fd >= 0) return fd;
    if (fd == -2) {
        diag_print("Panic: Refusing to use %s: not a private directory of this user\n", dir);
        return -1;
    }
    if (!make && errno == ENOENT) return -2;
    diag_print("Panic: Can't use %s: %s\n", dir, strerror(errno));
    return -1;
}

// A start that was killed while writing leaves its temporary file behind.
// Every writer holds a shared lock on the cache directory from before it
// creates its first temporary file until it has renamed its last; whoever
// gets the exclusive lock knows that no writer is at work, so that every
// temporary file there is left over. Only this user's regular files are
// removed, and no link is followed. The lock is taken only when there is
// something to remove: a warm start just reads the directory.
void remove_stale_files(int dirfd) {
    int fd = dup(dirfd);
    DIR* d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!d) {
        if (fd >= 0) close(fd);
        return;
    }
    auto stale_name = [](const char* name) {
        size_t n = strlen(name);
        return n > 4 && strcmp(name + n - 4, ".tmp") == 0;
    };
    bool found = false;
    for (const dirent* e; !found && (e = readdir(d));) found = stale_name(e->d_name);
    if (found && flock(dirfd, LOCK_EX | LOCK_NB) == 0) {
        rewinddir(d);
        for (const dirent* e; (e = readdir(d));) {
            struct stat st;
            if (stale_name(e->d_name) && fstatat(dirfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISREG(st.st_mode) && st.st_uid == geteuid())
                unlinkat(dirfd, e->d_name, 0);
        }
        flock(dirfd, LOCK_UN);
    }
    closedir(d);
}

// Writes every library marked `write`. All of them are read and checked
// before the first is written; the cache directory is made only then, so
// that a damaged archive leaves nothing behind. `dirfd` is the open cache
// directory (-1 until made; always -1 for the process directory, which
// belongs to this process alone). False after reporting.
bool put_libraries(const BfsArchive* archive, LibrarySet* set, const char* dir, bool cache, int* dirfd) {
    bool any = false;
    for (size_t i = 0; i < set->count; i++) {
        Library* lib = &set->items[i];
        if (!lib->write) continue;
        if (!read_checked(archive, lib)) return false;
        any = true;
    }
    if (!any) return true;
    if (cache && *dirfd < 0 && (*dirfd = open_cache_directory(dir, true)) < 0) {
        *dirfd = -1;
        return false;
    }
    // Without locks (a file system that has none) writing still works; only
    // left-over files are then never removed.
    bool locked = *dirfd >= 0 && lock_directory(*dirfd, LOCK_SH);
    bool ok = true;
    for (size_t i = 0; ok && i < set->count; i++) {
        Library* lib = &set->items[i];
        if (!lib->write) continue;
        ok = write_file(lib->path, lib->bytes, bfs_size(&lib->cursor), cache);
        free(lib->bytes);
        lib->bytes = nullptr;
    }
    if (locked) flock(*dirfd, LOCK_UN);
    return ok;
}

// The cheap check of a cached library on every start: a regular file of the
// entry's size. A library truncated by a power loss or a full disk would
// otherwise be mapped beyond its end (SIGBUS) or refused by the loader.
bool cached_intact(int dirfd, const Library* lib) {
    struct stat st;
    return fstatat(dirfd, lib->name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
           static_cast<uint64_t>(st.st_size) == bfs_size(&lib->cursor);
}

// Keeps the loader's reason for the last failed load.
void keep_reason(char* reason, size_t size) {
    const char* text = plat_dl_error();
    snprintf(reason, size, "%s", text ? text : "the loader gave no reason");
}

// Writes the libraries that the list entry `list_name` names and the library
// found at `cursor` under `chosen` (without `chosen`, the list's last) into
// `dir` (the cache directory when `cache` is set, else the process
// directory), and loads the last. A library that an earlier start left and
// that cannot be loaded is written again once. Returns the handle, with the
// loaded file's path in *path; or null, with *failed set after a failure
// that was reported (otherwise the loader's reason is in `reason`).
void* load_bound(const BfsArchive* archive, const char* list_name, const char* chosen, const bfs_cursor* cursor,
                 const char* dir, bool cache, char** path, bool* failed, char* reason, size_t reason_size) {
    *failed = true;
    LibrarySet set;
    if (!collect_libraries(archive, list_name, chosen, cursor, dir, &set)) {
        free_libraries(&set);
        return nullptr;
    }
    int dirfd = -1;
    if (cache) {
        dirfd = open_cache_directory(dir, false);
        if (dirfd == -1) {
            free_libraries(&set);
            return nullptr;
        }
        if (dirfd >= 0)
            remove_stale_files(dirfd);
        else
            dirfd = -1;  // not there yet: made once its libraries are checked
    }
    bool reused = false;
    for (size_t i = 0; i < set.count; i++) {
        set.items[i].write = dirfd < 0 || !cached_intact(dirfd, &set.items[i]);
        reused = reused || !set.items[i].write;
    }
    void* handle = nullptr;
    Library* loaded = &set.items[set.count - 1];
    if (put_libraries(archive, &set, dir, cache, &dirfd)) {
        *failed = false;
        handle = plat_dl_open(loaded->path);
        if (!handle) {
            keep_reason(reason, reason_size);
            // Damaged after it was written (a kill, a power loss, another
            // program): written again from the archive, once. The start
            // goes on, so the reason goes to the debugger output only.
            if (reused) {
                char note[DIAG_BUFFER_SIZE];
                snprintf(note, sizeof note, "Writing %s again: %s\n", loaded->path, reason);
                plat_debug_output(note);
                for (size_t i = 0; i < set.count; i++) set.items[i].write = true;
                if (!put_libraries(archive, &set, dir, cache, &dirfd))
                    *failed = true;
                else if (!(handle = plat_dl_open(loaded->path)))
                    keep_reason(reason, reason_size);
            }
        }
    }
    if (handle) {
        *path = loaded->path;
        loaded->path = nullptr;
    }
    if (dirfd >= 0) close(dirfd);
    free_libraries(&set);
    return handle;
}

// The directory that the libraries of the session's archive go to: the
// base directory and the checksum of "perl.md5" (ending with a separator),
// or the process directory for a program packed with --clean. `what` names
// the library in the reports. Null after reporting; the path is the
// caller's to free.
char* library_dir(KovrunSession* session, const char* what) {
    const char* dir = make_temp_dir(session, session->clean);
    if (!dir) {
        diag_print("Panic: Can't find temp dir for kovar\n");
        return nullptr;
    }
    char md5[MD5_TEXT + 1] = {0};
    if (!session->clean) {
        bfs_cursor sum;
        if (!bfs_lookup(session->archive, "perl.md5", 8, &sum) || bfs_size(&sum) != MD5_TEXT || !bfs_read(&sum, md5)) {
            diag_print("Panic: Can't extract MD5 checksum for %s\n", what);
            return nullptr;
        }
        md5[MD5_TEXT] = 0;
        // The checksum becomes a directory name: it must not climb out.
        for (size_t i = 0; i < MD5_TEXT; i++) {
            if (md5[i] == '/' || md5[i] == 0 || (md5[i] == '.' && i == 0)) {
                diag_print("Panic: Can't extract MD5 checksum for %s\n", what);
                return nullptr;
            }
        }
    }
    size_t length = strlen(dir) + (session->clean ? 0 : MD5_TEXT + 1);
    auto* target = static_cast<char*>(malloc(length + 1));
    if (!target) {
        diag_print("Panic: Can't malloc name (%d)\n", static_cast<int>(length));
        return nullptr;
    }
    strcpy(target, dir);
    if (!session->clean) {
        strcat(target, md5);
        target[length - 1] = PLAT_SEP;
        target[length] = 0;
    }
    return target;
}

}  // namespace

void* load_runtime(KovrunSession* session, const char* name, const char* alternative) {
    const char* used = nullptr;
    const char* chosen = nullptr;
    char* path = nullptr;
    void* handle = nullptr;
    char reason[DIAG_BUFFER_SIZE] = {0};

    // 1. Already in the process.
    if ((handle = plat_dl_loaded(name))) {
        used = name;
    } else if (alternative && (handle = plat_dl_loaded(alternative))) {
        used = alternative;
    }

    if (!handle) {
        // 2. Bound in the archive, under the first name or the alternative.
        bfs_cursor cursor;
        if (bfs_lookup(session->archive, name, strlen(name), &cursor))
            chosen = name;
        else if (alternative && bfs_lookup(session->archive, alternative, strlen(alternative), &cursor))
            chosen = alternative;

        if (chosen) {
            // 3 to 5. The directory it goes to.
            char* target = library_dir(session, chosen);
            if (!target) return nullptr;
            // 6. Written out unless an earlier start left it intact, then
            // loaded. A failure before loading ends the call.
            bool failed = false;
            handle = load_bound(session->archive, "*PERLDEPS", chosen, &cursor, target, !session->clean, &path, &failed,
                                reason, sizeof reason);
            free(target);
            if (failed) return nullptr;
            if (handle) used = path;
        }
    }

    // 7 and 8. The system's search path, alternative first.
    if (!handle && alternative && (handle = plat_dl_open(alternative))) used = alternative;
    if (!handle && (handle = plat_dl_open(name))) used = name;
    if (!handle) {
        if (reason[0])
            diag_print("Panic: Can't load %s: %s\n", chosen, reason);
        else if (alternative)
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

void* load_bound_libraries(KovrunSession* session, const char* list_name, char** path, char* reason,
                           size_t reason_size, bool* reported) {
    *reported = true;
    *path = nullptr;
    reason[0] = 0;
    char* target = library_dir(session, list_name);
    if (!target) return nullptr;
    bool failed = false;
    void* handle = load_bound(session->archive, list_name, nullptr, nullptr, target, !session->clean, path, &failed,
                              reason, reason_size);
    free(target);
    *reported = failed;
    return handle;
}
