// The per-user base directory and the per-process extraction directory.
#pragma once

#include <cstddef>

#include "src/launcher/session.h"

// Returns the base directory TEMP/qrx-USER/ (which == 0) or the process
// directory TEMP/qrx-USER-PID/ (which != 0), after making sure it exists;
// null on failure. TEMP is the "*TMPDIR" entry of the session's archive, else
// the system temporary path. The result points into the session. A directory
// that already exists is used only when it is a real directory (not a
// symbolic link) of the effective user that group and others cannot write.
const char* make_temp_dir(KovrunSession* session, int which);

// Appends "qrx-USER/" (or "qrx/" when user is null or empty) to the first
// len characters of path, which is empty or ends with a separator and must
// have room for KV_PATH_MAX - 1 bytes. False, path unchanged, when the
// result would be longer than 258 characters.
bool kv_user_dir_path(char* path, size_t len, const char* user);

// Writes the process directory for a base directory ".../qrx-USER/" into
// out (KV_PATH_MAX + 1 bytes): ".../qrx-USER-PID/". False when base is empty
// or the result would be longer than KV_PATH_MAX characters.
bool kv_process_dir_path(const char* base, int pid, char* out);

// Creates a new file for writing, mode 0700, failing when anything (a file or
// a symbolic link) is already at path. Returns the descriptor, or -1 with errno.
int kv_create_private_file(const char* path);

// Directories removed at exit by cleanup_temp_dirs, newest first. Shared by
// every session of the process; touched only under plat_lock.
struct KvCleanupNode {
    KvCleanupNode* next;
    char* path;
};
extern KvCleanupNode* kv_cleanup_list;

// Adds a copy of path to the front of the cleanup list unless it is already
// listed. False when an allocation failed (reported, nothing listed).
bool kv_register_cleanup(const char* path);

// Opens the directory at path (a trailing separator is allowed), making it
// first (mode 0700) when it is absent and `make` is set, on the terms of the
// base directory: a real directory (not a symbolic link) of the effective
// user that group and others cannot write. Returns a close-on-exec
// descriptor; -1 with errno on a system error (ENOENT: absent, not made);
// -2 when something else is at path.
int kv_open_private_dir(const char* path, bool make);
