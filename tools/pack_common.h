// Shared pieces of the packer: collecting entries and writing the output.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include "src/bfs/bfs.h"
#include "src/bfs/bfs_write.h"

struct PackRequest {
    std::vector<BfsWriteEntry> entries;
    BfsWriteOptions options;
    std::string host;    // executable to copy in front of the archive; empty: bare archive
    std::string output;
    bool quiet = false;
    bool verbose = false;
};

// "it is a FIFO, not a regular file" and the like, for a file's type.
std::string not_regular(mode_t mode);

// Reads a regular file whole. Anything else (a FIFO, a device, a directory)
// is refused at once, without waiting for a writer or touching the device.
bool read_file(const std::string& path, std::vector<unsigned char>* out, std::string* error);
bool add_file_entry(PackRequest& req, const std::string& name, const std::string& path, std::string* error);
void add_data_entry(PackRequest& req, const std::string& name, const std::string& text);
bool has_entry(const PackRequest& req, const std::string& name);

// Whether the output may be written: a new name or an existing regular file,
// which is replaced. A symbolic link, a directory, a device, a FIFO or a
// socket is refused with *error set ("cannot write 'OUT': ...").
bool check_output(const std::string& path, std::string* error);

// Writes the archive (after a copy of the host, when one is set) to a
// temporary file beside the output and renames it into place, so that a
// failure leaves no half-written output. Reports on stdout unless quiet.
bool write_pack(const PackRequest& req);

// Reads a bare archive, or a file with an archive appended, into *file and
// describes the archive inside it.
bool load_archive_file(const char* path, std::vector<unsigned char>* file, BfsArchive* archive, std::string* error);

// What a fatal signal (HUP, INT, QUIT, TERM, PIPE, ALRM, USR1, USR2) leaves
// behind is removed before the packer dies of it: the scan's process group
// is ended, the scan directory removed and the temporary output unlinked;
// then the signal is raised again, so that the caller sees it. The handlers
// are installed on the first registration; a signal that was ignored stays
// ignored. Register and unregister with the signals blocked
// (FatalSignalsBlocked), so that whatever is made is registered before a
// handler can run.
void on_signal_remove_dir(const char* path);    // null: nothing
void on_signal_remove_file(const char* path);   // null: nothing
void on_signal_end_group(pid_t leader);         // 0: nothing

// Blocks the fatal signals above for its lifetime.
class FatalSignalsBlocked {
public:
    FatalSignalsBlocked();
    ~FatalSignalsBlocked();
    FatalSignalsBlocked(const FatalSignalsBlocked&) = delete;
    FatalSignalsBlocked& operator=(const FatalSignalsBlocked&) = delete;
    // The mask as it was before: what a child process should start with.
    const sigset_t& previous() const { return previous_; }

private:
    sigset_t previous_;
};

// Removes PATH and, when it is a directory, everything below it (a few
// levels deep), without following symbolic links. Async-signal-safe.
// False, errno set, when something stays.
bool remove_tree(const char* path);
bool remove_tree_at(int dirfd, const char* name);
