// The per-user base directory and the per-process extraction directory.
#pragma once

#include <cstddef>

#include "src/launcher/session.h"

// Returns the base directory TEMP/qrx-USER/ (which == 0) or the process
// directory TEMP/qrx-USER-PID-SUFFIX/ (which != 0), after making sure it
// exists; null on failure (reported). TEMP is the "*TMPDIR" entry of the
// session's archive, else the system temporary path. The result points into
// the session or to process-wide storage.
//
// An existing base directory is used only when it is a real directory (not a
// symbolic link) of the effective user that group and others cannot write.
// When it is not, the base directory of this process is TEMP/qrx-USER/ under
// $XDG_RUNTIME_DIR (when that is the user's private directory), else the
// process directory; the debugger output says so once per process.
//
// The process directory is new: its name is unique beyond the process id,
// it is held locked for the life of the process (a start that finds such a
// directory unlocked removes it as stale) and registered for removal at
// exit. Every session of the process shares it.
const char* make_temp_dir(KovrunSession* session, int which);

// Appends "qrx-USER/" to the first len characters of path (KV_PATH_MAX + 1
// bytes), which is empty or ends with a separator. USER is user, or the
// effective user's numeric id when user is null or empty. False, path
// unchanged, when the result would be longer than KV_PATH_MAX characters.
bool kv_user_dir_path(char* path, size_t len, const char* user);

// Writes the process directory for a base directory ".../qrx-USER/" into
// out (KV_PATH_MAX + 1 bytes): ".../qrx-USER-PID-SUFFIX/". False when base
// is empty or the result would be longer than KV_PATH_MAX characters.
bool kv_process_dir_path(const char* base, int pid, const char* suffix, char* out);

// Creates a new file for writing, mode 0700, failing when anything (a file or
// a symbolic link) is already at path. Returns the descriptor, or -1 with errno.
int kv_create_private_file(const char* path);

// Directories removed at exit by cleanup_temp_dirs, newest first. Shared by
// every session of the process; changed only under plat_lock with the exit
// signals blocked, so that their handler may walk it.
struct KvCleanupNode {
    KvCleanupNode* next;
    char* path;         // absolute when it could be made so
    int owner;          // the registering process: only it removes the directory
    int fd;             // the directory, held locked; -1 when none
    const char* base;   // the base path a process directory was made for, or null
    const char* shown;  // the process path as make_temp_dir returns it, or null
};
extern KvCleanupNode* kv_cleanup_list;

// Adds a copy of path, owned by this process, to the front of the cleanup
// list unless this process has already listed it. False when an allocation
// failed (reported, nothing listed).
bool kv_register_cleanup(const char* path);

// Opens the directory at path (a trailing separator is allowed), making it
// first (mode 0700) when it is absent and `make` is set, on the terms of the
// base directory: a real directory (not a symbolic link) of the effective
// user that group and others cannot write. Returns a close-on-exec
// descriptor; -1 with errno on a system error (ENOENT: absent, not made);
// -2 when something else is at path.
int kv_open_private_dir(const char* path, bool make);
