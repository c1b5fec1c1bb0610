#include "src/binding/runtime_load.h"

#include <dirent.h>
#include <errno.h>
#include <stdarg.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "src/binding/api.h"
#include "src/bfs/bfs.h"
#include "src/bfs/crc32.h"
#include "src/bfs/tempdir.h"
#include "src/launcher/diag.h"

namespace {

constexpr size_t MD5_TEXT = 32;
// Entry NAME.crc32: the CRC-32 of library NAME.
constexpr char CRC_SUFFIX[] = ".crc32";
constexpr size_t CRC_TEXT = 8;

// Where a failure is told: the diagnostics, as a panic of the start, or
// (text set) a buffer that the caller hands on, without the "Panic: " and
// the line feed.
struct Report {
    char* text;
    size_t size;
};
constexpr Report kPanic{nullptr, 0};

void tell(const Report& r, const char* format, ...) KV_PRINTF(2, 3);
void tell(const Report& r, const char* format, ...) {
    char message[DIAG_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0) message[0] = 0;
    if (r.text)
        snprintf(r.text, r.size, "%s", message);
    else
        diag_print("Panic: %s\n", message);
}

// A library that goes into the runtime library's directory: one that a list
// entry ("*PERLDEPS", "*TRAYLIBS") names, or the library that is loaded.
struct Library {
    const char* name;
    bfs_cursor cursor;
    char* path;  // owned
    // Owned: the contents of an entry stored compressed, inflated and
    // checked, until written. Null for an entry stored as it is, which is
    // read from the archive piece by piece where it is needed.
    unsigned char* bytes;
    bool write;     // not in the directory as the archive has it
    bool summed;    // the archive gives its checksum, `crc`
    uint32_t crc;
    // Written into the cache but not yet in place: the open temporary file
    // and its name (owned), until it is synced and renamed. -1 and null
    // otherwise.
    int fd;
    char* tmp;
    // Owned: where this start loads the library from when that is not
    // `path`: a link in the process directory to the file that is not yet
    // in place.
    char* linked;
};

// Libraries are checked and written in pieces of this size. The page cache
// keeps a file in units as large as the writes that filled it, and a later
// start that maps the library maps such a unit whole wherever it touches it:
// written in one piece, a library would cost every start that maps it a
// third more resident memory than one read in from disk.
constexpr size_t kPiece = 64 * 1024;

// Hands the library's bytes to `step` (pointer, length) in pieces: from
// lib->bytes, or read from the archive into a buffer of one piece. A copy of
// the whole would cost a library of megabytes more in page faults than
// reading it twice. False with errno set when a piece cannot be had or
// `step` returns false.
template <typename Step>
bool each_piece(const Library* lib, Step step) {
    size_t n = bfs_size(&lib->cursor);
    unsigned char* scratch = nullptr;
    if (!lib->bytes && n > 0 && !(scratch = static_cast<unsigned char*>(malloc(n < kPiece ? n : kPiece)))) {
        errno = ENOMEM;
        return false;
    }
    bool ok = true;
    for (size_t at = 0; ok && at < n; at += kPiece) {
        size_t m = n - at < kPiece ? n - at : kPiece;
        const unsigned char* piece = lib->bytes ? lib->bytes + at : scratch;
        if (!lib->bytes && !bfs_read_part(&lib->cursor, at, m, scratch)) {
            errno = EIO;
            ok = false;
        } else {
            ok = step(piece, m);
        }
    }
    int e = errno;
    free(scratch);
    errno = e;
    return ok;
}

struct LibrarySet {
    Library* items;  // owned
    size_t count;
    char* list;  // owned: the list entry's text, which the names point into
};

// Frees what the library owns. A file that was written but never put in
// place is removed.
void free_library(Library* lib) {
    if (lib->fd >= 0) {
        close(lib->fd);
        unlink(lib->tmp);
    }
    free(lib->tmp);
    free(lib->linked);
    free(lib->path);
    free(lib->bytes);
}

void free_libraries(LibrarySet* set) {
    for (size_t i = 0; i < set->count; i++) free_library(&set->items[i]);
    free(set->items);
    free(set->list);
}

// Adds `name` with its path in `dir`, which ends with a separator. The name
// becomes a file name in the directory: it must not climb out of it nor name
// the directory itself. False after reporting.
// The set's next library, found in the archive at its cursor: `path` (the
// set owns it from now on) is where it goes.
void add_found(LibrarySet* set, const char* name, char* path) {
    Library* lib = &set->items[set->count];
    lib->name = name;
    lib->path = path;
    lib->bytes = nullptr;
    lib->write = true;
    lib->summed = false;
    lib->fd = -1;
    lib->tmp = nullptr;
    lib->linked = nullptr;
    set->count++;
}

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
    add_found(set, name, path);
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

// Reads the library (an entry stored compressed into lib->bytes) and checks
// it against the entry "NAME.crc32" (its CRC-32 as 8 hexadecimal digits)
// when the archive has one: a damaged archive must never put a damaged
// library under the genuine name into the cache, where every later start
// would load it. CRC-32 finds every burst of damage up to 32 bits and all
// but one in four thousand million of the rest, at a fraction of a digest's
// cost on the first start. False after reporting.
bool read_checked(const BfsArchive* archive, Library* lib, const Report& r = kPanic) {
    if (!bfs_entry_plausible(&lib->cursor)) {
        tell(r, "Can't extract %s", lib->path);
        return false;
    }
    uint32_t n = bfs_size(&lib->cursor);
    if (bfs_entry_flags(&lib->cursor) & BFS_ENTRY_COMPRESSED) {
        lib->bytes = static_cast<unsigned char*>(malloc(static_cast<size_t>(n) + 1));
        if (!lib->bytes) {
            tell(r, "Can't allocate memory for %s", lib->path);
            return false;
        }
        if (!bfs_read(&lib->cursor, lib->bytes)) {
            tell(r, "Can't extract %s", lib->path);
            return false;
        }
    }
    size_t length = strlen(lib->name);
    auto* sum_name = static_cast<char*>(malloc(length + sizeof CRC_SUFFIX));
    if (!sum_name) {
        tell(r, "Can't malloc name (%d)", static_cast<int>(length + sizeof CRC_SUFFIX - 1));
        return false;
    }
    memcpy(sum_name, lib->name, length);
    memcpy(sum_name + length, CRC_SUFFIX, sizeof CRC_SUFFIX);
    bfs_cursor sum;
    bool listed = bfs_lookup(archive, sum_name, length + sizeof CRC_SUFFIX - 1, &sum);
    free(sum_name);
    if (!listed) return true;  // archives from before the checksums were bound

    char expected[CRC_TEXT + 1] = {0};
    lib->summed = bfs_size(&sum) == CRC_TEXT && bfs_read(&sum, expected) &&
                  strspn(expected, "0123456789abcdefABCDEF") == CRC_TEXT;
    lib->crc = static_cast<uint32_t>(strtoul(expected, nullptr, 16));
    uint32_t crc = 0;
    auto sum_piece = [&crc](const unsigned char* p, size_t m) {
        crc = bfs_crc32(crc, p, m);
        return true;
    };
    if (lib->summed && !each_piece(lib, sum_piece)) {
        tell(r, errno == ENOMEM ? "Can't allocate memory for %s" : "Can't extract %s", lib->path);
        return false;
    }
    if (!lib->summed || crc != lib->crc) {
        tell(r, "Damaged archive: %s does not match its checksum", lib->name);
        return false;
    }
    return true;
}

// How a library's file is written: into the process directory, which
// lives only as long as this process (no sync); into the cache, synced
// before the rename, so that not even a power loss leaves a truncated
// library under the genuine name; or into the cache as a temporary file
// that is synced and renamed later (`fd` and `tmp` of the library).
enum class WriteMode { process, cache, cache_later };

// The mode for a file of the cache (`cache`) or of the process directory;
// `later` is the session whose process directory a first start loads from.
WriteMode write_mode(bool cache, const KovrunSession* later) {
    return !cache ? WriteMode::process : later ? WriteMode::cache_later : WriteMode::cache;
}

// Where this start loads the library from, and the same handed to the
// caller (who frees it).
const char* load_path(const Library* lib) { return lib->linked ? lib->linked : lib->path; }
char* take_load_path(Library* lib) {
    char** kept = lib->linked ? &lib->linked : &lib->path;
    char* path = *kept;
    *kept = nullptr;
    return path;
}

// Syncs the written file and renames it into place; the temporary file is
// removed when either fails. 0, or the errno of the failure. Only
// async-signal-safe calls: it also runs in a detached process.
int put_in_place(int fd, const char* tmp, const char* path) {
    int e = 0;
    if (fdatasync(fd) != 0)
        e = errno;
    else if (rename(tmp, path) != 0)
        e = errno;
    if (e) unlink(tmp);
    return e;
}

// Writes the library to its path through a private temporary file beside
// it that is renamed into place, so that no start ever sees a half-written
// library and no existing file or link is written through. A library read
// from the archive again is checked again as it is written: the file that
// holds the archive may have changed since. False after reporting.
bool write_file(Library* lib, WriteMode mode, const Report& r = kPanic) {
    const char* path = lib->path;
    size_t tmp_length = strlen(path) + 32;
    auto* tmp = static_cast<char*>(malloc(tmp_length));
    if (!tmp) {
        tell(r, "Can't create %s: %s", path, strerror(ENOMEM));
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
    bool recheck = lib->summed && !lib->bytes, changed = false, sync = mode == WriteMode::cache;
    uint32_t crc = 0;
    uint64_t written = 0;
    // The disk starts on each piece while the next is read and written, so
    // the sync before the rename waits for little more than the last one.
    auto write_piece = [fd, recheck, sync, &crc, &written](const unsigned char* p, size_t m) {
        if (recheck) crc = bfs_crc32(crc, p, m);
        if (!plat_write_all(fd, p, m)) return false;
        if (sync) plat_start_writeback(fd, written, m);
        written += m;
        return true;
    };
    if (fd < 0 || !each_piece(lib, write_piece))
        e = errno;
    else if (recheck && crc != lib->crc)
        changed = true;
    // What was read from the archive is on disk now, and libperl's
    // megabytes need not stay in this process's memory.
    if (!lib->bytes) bfs_release(&lib->cursor);
    if (!e && !changed && mode == WriteMode::cache_later) {
        lib->fd = fd;
        lib->tmp = tmp;
        return true;
    }
    if (!e && !changed && sync) e = put_in_place(fd, tmp, path);
    if (fd >= 0 && close(fd) != 0 && !e && errno != EINTR) e = errno;
    if (!e && !changed && !sync && rename(tmp, path) != 0) e = errno;
    if (e || changed) {
        if (fd >= 0) unlink(tmp);
        if (changed)
            tell(r, "Damaged archive: %s does not match its checksum", lib->name);
        else
            tell(r, "Can't create %s: %s", path, strerror(e));
    }
    free(tmp);
    return !e && !changed;
}

// What a detached process puts in place: the files of a set that were
// written for later.
struct LaterFiles {
    int fd[16];
    const char* tmp[16];
    const char* path[16];
    size_t count;
};

void put_later_files(void* arg) {
    const auto* later = static_cast<const LaterFiles*>(arg);
    for (size_t i = 0; i < later->count; i++) put_in_place(later->fd[i], later->tmp[i], later->path[i]);
}

int open_below(int dirfd, const char* rel, size_t n, bool make);

// Links `from` into the process directory `procdir` (ending with a
// separator) under `rel`, making the directories of `rel` there; an older
// link of that name is replaced. The link's path, or null.
char* link_into(const char* procdir, const char* rel, const char* from) {
    int top = kv_open_private_dir(procdir, false);
    if (top < 0) return nullptr;
    const char* slash = strrchr(rel, PLAT_SEP);
    size_t dir_length = slash ? static_cast<size_t>(slash - rel) : 0;
    int fd = dir_length ? open_below(top, rel, dir_length, true) : top;
    if (fd != top) close(top);
    if (fd < 0) return nullptr;
    const char* base = slash ? slash + 1 : rel;
    unlinkat(fd, base, 0);
    bool ok = linkat(AT_FDCWD, from, fd, base, 0) == 0;
    close(fd);
    size_t n = strlen(procdir) + strlen(rel) + 1;
    auto* link = ok ? static_cast<char*>(malloc(n)) : nullptr;
    if (link) snprintf(link, n, "%s%s", procdir, rel);
    return link;
}

// Puts the set's files that were written for later in place. The syncs
// that make them safe in the cache cost a start more than everything else
// it writes, so when `later` is given they happen in a detached process:
// this start loads the libraries through links in its process directory
// (every library of the set when `all` is set, so that a library finds the
// others beside it; `rel_at` is where each path's part below the cache
// directory begins), and that process, which holds the writers' lock of
// `lock_fd` from here on, syncs and renames them into the cache. Otherwise
// they are synced and renamed here. *handed tells whether the lock went to
// that process. False after reporting.
bool put_written(LibrarySet* set, KovrunSession* later, size_t rel_at, bool all, int lock_fd, bool* handed,
                 const Report& r) {
    *handed = false;
    bool pending = false;
    for (size_t i = 0; i < set->count; i++) pending = pending || set->items[i].fd >= 0;
    // The process directory is made only when there is something to link.
    const char* procdir = later && pending ? make_temp_dir(later, 1) : nullptr;
    LaterFiles files{};
    int keep[17];
    size_t kept = 0;
    for (size_t i = 0; i < set->count; i++) {
        Library* lib = &set->items[i];
        if (lib->fd < 0) continue;
        if (files.count == 16) procdir = nullptr;
        if (!procdir) break;
        files.fd[files.count] = lib->fd;
        files.tmp[files.count] = lib->tmp;
        files.path[files.count++] = lib->path;
        keep[kept++] = lib->fd;
    }
    for (size_t i = 0; procdir && files.count && i < set->count; i++) {
        Library* lib = &set->items[i];
        if (lib->fd >= 0 || all) {
            free(lib->linked);
            lib->linked = link_into(procdir, lib->path + rel_at, lib->fd >= 0 ? lib->tmp : lib->path);
            if (!lib->linked) procdir = nullptr;
        }
    }
    if (lock_fd >= 0) keep[kept++] = lock_fd;
    *handed = procdir && files.count && plat_run_detached(put_later_files, &files, keep, kept);
    bool ok = true;
    for (size_t i = 0; i < set->count; i++) {
        Library* lib = &set->items[i];
        if (!*handed && lib->linked) {
            unlink(lib->linked);
            free(lib->linked);
            lib->linked = nullptr;
        }
        if (lib->fd < 0) continue;
        int e = *handed || !ok ? 0 : put_in_place(lib->fd, lib->tmp, lib->path);
        if (!*handed && !ok) unlink(lib->tmp);
        close(lib->fd);
        lib->fd = -1;
        free(lib->tmp);
        lib->tmp = nullptr;
        if (e) {
            tell(r, "Can't create %s: %s", lib->path, strerror(e));
            ok = false;
        }
    }
    return ok;
}

bool lock_directory(int fd, int how) {
    while (flock(fd, how) != 0)
        if (errno != EINTR) return false;
    return true;
}

// Opens the cache directory, made when `make` is set, on the terms of the
// base directory. -1 after reporting; -2, quietly, when it is absent and not
// to be made.
int open_cache_directory(const char* dir, bool make, const Report& r = kPanic) {
    int fd = kv_open_private_dir(dir, make);
    if (fd >= 0) return fd;
    if (fd == -2) {
        tell(r, "Refusing to use %s: not a private directory of this user", dir);
        return -1;
    }
    if (!make && errno == ENOENT) return -2;
    tell(r, "Can't use %s: %s", dir, strerror(errno));
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
// belongs to this process alone). With `later`, the files written into
// the cache are put in place later (put_written). False after reporting.
bool put_libraries(const BfsArchive* archive, LibrarySet* set, const char* dir, bool cache, KovrunSession* later,
                   int* dirfd) {
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
        ok = write_file(lib, write_mode(cache, later));
        free(lib->bytes);
        lib->bytes = nullptr;
    }
    bool handed = false;
    if (!put_written(set, ok ? later : nullptr, strlen(dir), true, locked ? *dirfd : -1, &handed, kPanic)) ok = false;
    if (locked && !handed) flock(*dirfd, LOCK_UN);
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
// Libraries written into the cache are loaded through links in the process
// directory of `session` while a detached process puts them in place.
void* load_bound(KovrunSession* session, const char* list_name, const char* chosen, const bfs_cursor* cursor,
                 const char* dir, bool cache, char** path, bool* failed, char* reason, size_t reason_size) {
    const BfsArchive* archive = session->archive;
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
    if (put_libraries(archive, &set, dir, cache, session, &dirfd)) {
        *failed = false;
        handle = plat_dl_open(load_path(loaded));
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
                if (!put_libraries(archive, &set, dir, cache, session, &dirfd))
                    *failed = true;
                else if (!(handle = plat_dl_open(load_path(loaded))))
                    keep_reason(reason, reason_size);
            }
        }
    }
    if (handle) *path = take_load_path(loaded);
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

// ---- extension libraries and data files ---------------------------------------
// They go below the runtime's checksum directory, into a directory named after
// the option entry "*FILES.md5" (32 hexadecimal digits that the packer derives
// from the extension libraries and data files it binds), so that a program
// with other libraries or data gets a directory of its own: "auto/..." holds
// the extension libraries under their entry names, "data/..." the data files
// that "*DATAFILES" lists. A program packed with --clean, or without the
// entry, writes them into its process directory instead.
constexpr char FILES_KEY_ENTRY[] = "*FILES.md5";
constexpr char DATA_LIST_ENTRY[] = "*DATAFILES";
constexpr char DATA_DIR[] = "data";
constexpr char DATA_PREFIX[] = "data/";

// True when `name` (n bytes) is a path below a directory that stays below
// it: no leading separator, no empty, "." or ".." component, no NUL.
bool relative_below(const char* name, size_t n) {
    if (n == 0 || memchr(name, 0, n)) return false;
    size_t at = 0;
    while (at <= n) {
        const char* end = static_cast<const char*>(memchr(name + at, PLAT_SEP, n - at));
        size_t part = (end ? static_cast<size_t>(end - name) : n) - at;
        if (part == 0 || (part == 1 && name[at] == '.') || (part == 2 && name[at] == '.' && name[at + 1] == '.'))
            return false;
        at += part + 1;
    }
    return true;
}

// Opens the directory `rel` (n bytes, components separated by PLAT_SEP)
// below `dirfd`, one component at a time and never through a link, making
// what is absent when `make` is set; each must be a directory of this user
// that group and others cannot write. Returns the descriptor; -1 with errno
// on a system error (ENOENT: absent, not made); -2 when something else is
// in the way.
int open_below(int dirfd, const char* rel, size_t n, bool make) {
    int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t at = 0; fd >= 0 && at < n;) {
        const char* end = static_cast<const char*>(memchr(rel + at, PLAT_SEP, n - at));
        size_t part = (end ? static_cast<size_t>(end - rel) : n) - at;
        char component[256];
        if (part >= sizeof component) {
            close(fd);
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(component, rel + at, part);
        component[part] = 0;
        at += part + 1;
        if (make && mkdirat(fd, component, S_IRWXU) != 0 && errno != EEXIST) {
            int e = errno;
            close(fd);
            errno = e;
            return -1;
        }
        int next = openat(fd, component, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        int e = errno;
        close(fd);
        if (next < 0) {
            errno = e;
            return e == ELOOP || e == ENOTDIR ? -2 : -1;
        }
        struct stat st;
        if (fstat(next, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
            (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
            close(next);
            return -2;
        }
        fd = next;
    }
    return fd;
}

// The directory of the archive's extension libraries and data files.
struct FilesDir {
    char* path;  // owned; ends with a separator
    int fd;
    bool cache;  // the cache (shared with other starts), not the process directory
};

void close_files_dir(FilesDir* d) {
    free(d->path);
    if (d->fd >= 0) close(d->fd);
    *d = FilesDir{nullptr, -1, false};
}

bool hex_digest(const char* text, size_t n) { return strspn(text, "0123456789abcdef") == n && text[n] == 0; }

// Opens (and makes) the directory that the archive's extension libraries and
// data files go to. False after telling why.
bool open_files_dir(KovrunSession* s, FilesDir* d, const Report& r) {
    *d = FilesDir{nullptr, -1, false};
    char key[MD5_TEXT + 1] = {0};
    bfs_cursor c;
    bool keyed = !s->clean && bfs_lookup(s->archive, FILES_KEY_ENTRY, sizeof FILES_KEY_ENTRY - 1, &c) &&
                 bfs_size(&c) == MD5_TEXT && bfs_read(&c, key) && hex_digest(key, MD5_TEXT) &&
                 bfs_lookup(s->archive, "perl.md5", 8, &c) && bfs_size(&c) == MD5_TEXT;
    if (keyed) {
        char* cache = library_dir(s, FILES_KEY_ENTRY);
        if (!cache) {
            tell(r, "Can't find temp dir for kovar");
            return false;
        }
        int cache_fd = open_cache_directory(cache, true, r);
        if (cache_fd >= 0) {
            d->fd = open_below(cache_fd, key, MD5_TEXT, true);
            int e = errno;
            close(cache_fd);
            if (d->fd == -2)
                tell(r, "Refusing to use %s%s: not a private directory of this user", cache, key);
            else if (d->fd < 0)
                tell(r, "Can't use %s%s: %s", cache, key, strerror(e));
        }
        size_t length = strlen(cache);
        d->path = d->fd >= 0 ? static_cast<char*>(malloc(length + MD5_TEXT + 2)) : nullptr;
        if (d->path) {
            memcpy(d->path, cache, length);
            memcpy(d->path + length, key, MD5_TEXT);
            d->path[length + MD5_TEXT] = PLAT_SEP;
            d->path[length + MD5_TEXT + 1] = 0;
        } else if (d->fd >= 0) {
            tell(r, "Can't malloc name (%d)", static_cast<int>(length + MD5_TEXT + 1));
        }
        free(cache);
        d->cache = true;
    } else {
        const char* dir = make_temp_dir(s, 1);
        if (!dir) {
            tell(r, "Can't find temp dir for kovar");
            return false;
        }
        d->fd = kv_open_private_dir(dir, false);
        if (d->fd < 0) tell(r, "Can't use %s: %s", dir, d->fd == -2 ? "not a private directory of this user" : strerror(errno));
        d->path = d->fd >= 0 ? strdup(dir) : nullptr;
        if (d->fd >= 0 && !d->path) tell(r, "Can't malloc name (%d)", static_cast<int>(strlen(dir)));
    }
    if (d->fd < 0 || !d->path) {
        close_files_dir(d);
        return false;
    }
    return true;
}

// The part of `rel` before its last separator. Every file goes into a
// directory below the files directory (a library's name has one, data files
// go below "data/"), never into that directory itself: a process directory
// is held locked by its process, and the writers' lock must never meet it.
size_t dir_part(const char* rel) {
    const char* slash = strrchr(rel, PLAT_SEP);
    return slash ? static_cast<size_t>(slash - rel) : 0;
}

// Marks each file of the set that is not in place as one to write: a
// regular file of the entry's size is taken as it is (or, with `again`,
// written anyway). `rel_at` is where the path below the files directory
// begins in each path.
void mark_missing(const FilesDir& d, LibrarySet* set, size_t rel_at, bool again) {
    for (size_t i = 0; i < set->count; i++) {
        Library* lib = &set->items[i];
        const char* rel = lib->path + rel_at;
        lib->write = true;
        if (again) continue;
        int fd = open_below(d.fd, rel, dir_part(rel), false);
        if (fd < 0) continue;
        Library probe = *lib;
        probe.name = rel + dir_part(rel) + 1;
        lib->write = !cached_intact(fd, &probe);
        close(fd);
    }
}

// Writes the files of the set marked `write`, all read and checked first,
// each into its directory (made as needed) through a temporary file. Writers
// share a lock on the directory they write into; the temporary files that a
// killed start left there are removed first, as in the cache directory.
// With `later`, a file written into the cache is put in place later
// (put_written) and loaded through its link in the process directory.
// False after reporting.
bool write_missing(const BfsArchive* archive, const FilesDir& d, LibrarySet* set, size_t rel_at, KovrunSession* later,
                   const Report& r) {
    for (size_t i = 0; i < set->count; i++)
        if (set->items[i].write && !read_checked(archive, &set->items[i], r)) return false;
    bool ok = true;
    for (size_t i = 0; ok && i < set->count; i++) {
        Library* lib = &set->items[i];
        if (!lib->write) continue;
        const char* rel = lib->path + rel_at;
        int fd = open_below(d.fd, rel, dir_part(rel), true);
        if (fd < 0) {
            int e = errno;
            tell(r, "Can't create %s: %s", lib->path, fd == -2 ? "not a private directory of this user" : strerror(e));
            return false;
        }
        remove_stale_files(fd);
        bool locked = lock_directory(fd, LOCK_SH);
        ok = write_file(lib, write_mode(d.cache, later), r);
        LibrarySet one{lib, 1, nullptr};
        bool handed = false;
        if (ok && !put_written(&one, later, rel_at, false, locked ? fd : -1, &handed, r)) ok = false;
        if (locked && !handed) flock(fd, LOCK_UN);
        close(fd);
        free(lib->bytes);
        lib->bytes = nullptr;
    }
    return ok;
}

// Adds the bound entry `name` (n bytes) to the set, with its path below the
// files directory: `prefix` (empty or ending with a separator), then the
// name. False after telling why: the name does not stay below the
// directory, or nothing is bound under it.
bool add_file(LibrarySet* set, const BfsArchive* archive, const FilesDir& d, const char* prefix, const char* name,
              size_t n, const Report& r) {
    size_t dir_length = strlen(d.path), prefix_length = strlen(prefix);
    auto* path = static_cast<char*>(malloc(dir_length + prefix_length + n + 1));
    if (!path) {
        tell(r, "Can't malloc name (%d)", static_cast<int>(dir_length + prefix_length + n));
        return false;
    }
    memcpy(path, d.path, dir_length);
    memcpy(path + dir_length, prefix, prefix_length);
    memcpy(path + dir_length + prefix_length, name, n);
    path[dir_length + prefix_length + n] = 0;
    Library* lib = &set->items[set->count];
    if (!relative_below(name, n) || !memchr(path + dir_length, PLAT_SEP, prefix_length + n) ||
        !bfs_lookup(archive, name, n, &lib->cursor)) {
        tell(r, "Can't extract %s", path);
        free(path);
        return false;
    }
    add_found(set, name, path);
    return true;
}

}  // namespace

char* bound_library(KovrunSession* session, const char* name, size_t length, bool again, bool* bound, char* why,
                    size_t why_size) {
    Report r{why, why_size};
    why[0] = 0;
    *bound = length > 0 && !memchr(name, 0, length) && bfs_lookup(session->archive, name, length, nullptr);
    if (!*bound) return nullptr;
    FilesDir d;
    if (!open_files_dir(session, &d, r)) return nullptr;
    // The name as a string of its own: the set points into it.
    auto* copy = static_cast<char*>(malloc(length + 1));
    Library item;
    LibrarySet set{&item, 0, copy};
    char* path = nullptr;
    if (!copy) {
        tell(r, "Can't malloc name (%d)", static_cast<int>(length));
    } else {
        memcpy(copy, name, length);
        copy[length] = 0;
        if (add_file(&set, session->archive, d, "", copy, length, r)) {
            mark_missing(d, &set, strlen(d.path), again);
            if (write_missing(session->archive, d, &set, strlen(d.path), session, r)) path = take_load_path(&item);
        }
    }
    for (size_t i = 0; i < set.count; i++) free_library(&set.items[i]);
    free(copy);
    close_files_dir(&d);
    return path;
}

char* bound_data_dir(KovrunSession* session, bool* failed) {
    *failed = false;
    if (!bfs_lookup(session->archive, DATA_LIST_ENTRY, sizeof DATA_LIST_ENTRY - 1, nullptr)) return nullptr;
    *failed = true;
    LibrarySet set{nullptr, 0, bfs_extract(session->archive, DATA_LIST_ENTRY, DATA_LIST_ENTRY)};
    if (!set.list) return nullptr;
    size_t lines = 1;
    for (const char* p = set.list; *p; p++) lines += *p == '\n';
    set.items = static_cast<Library*>(panic_alloc(lines * sizeof(Library), "data file list"));
    FilesDir d{nullptr, -1, false};
    char* dir = nullptr;
    bool ok = set.items && open_files_dir(session, &d, kPanic);
    for (char* line = set.list; ok && *line;) {
        char* end = strchr(line, '\n');
        char* next = end ? end + 1 : line + strlen(line);
        if (end) *end = 0;
        if (*line) ok = add_file(&set, session->archive, d, DATA_PREFIX, line, strlen(line), kPanic);
        line = next;
    }
    if (ok) {
        mark_missing(d, &set, strlen(d.path), false);
        ok = write_missing(session->archive, d, &set, strlen(d.path), nullptr, kPanic);
    }
    if (ok) {
        // The directory itself, without the separator: what @INC lists.
        size_t length = strlen(d.path) + sizeof DATA_DIR - 1;
        dir = static_cast<char*>(panic_alloc(length + 1, "data directory"));
        if (dir) snprintf(dir, length + 1, "%s%s", d.path, DATA_DIR);
        *failed = dir == nullptr;
    }
    close_files_dir(&d);
    free_libraries(&set);
    return dir;
}

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
            handle = load_bound(session, "*PERLDEPS", chosen, &cursor, target, !session->clean, &path, &failed,
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
    void* handle = load_bound(session, list_name, nullptr, nullptr, target, !session->clean, path, &failed,
                              reason, reason_size);
    free(target);
    *reported = failed;
    return handle;
}
