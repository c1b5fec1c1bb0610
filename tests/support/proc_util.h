// Running a program in a child process and collecting what it did.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <map>
#include <string>
#include <vector>

struct ProcResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// Runs argv (argv[0] is the path to execute, or `exe` when given, so that
// argv[0] can differ from the path). `env` entries are set ("NAME=VALUE") or
// removed ("NAME") on top of the current environment.
ProcResult run_process(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                       const std::string& exe = "", const std::string& input = "");

// A fresh private directory under the system temporary path, removed with
// everything in it when the object goes away.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_text(const std::string& path, const std::string& text);

// Packs the script file into `out` with the build's kovpack, quietly, with
// `options` before the script; a test failure when the packer fails.
// Returns `out`.
std::string pack_quietly(const std::string& script, const std::string& out, const std::vector<std::string>& options = {});
std::string read_text(const std::string& path);

// What tells whether a file was rewritten: inode, modification time, size.
struct FileId {
    ino_t inode = 0;
    struct timespec mtime = {0, 0};
    off_t size = -1;
    bool operator==(const FileId& o) const {
        return inode == o.inode && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec && size == o.size;
    }
};
// The identity of a regular file (not followed through a link); empty otherwise.
FileId file_id(const std::string& path);

// The entries of the archive inside a packed file, by name (a test failure
// when the file holds none).
std::map<std::string, std::string> entries_of(const std::string& path);

// `text` with each process directory name ("qrx-USER-PID-SUFFIX") written
// as "qrx-USER-*", so that the paths of what a first start loaded through
// its process directory can be compared.
std::string mask_process_dirs(const std::string& text);
