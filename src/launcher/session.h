// The state of one interpreter session and the start flags.
#pragma once

#include <cstdint>

#include "src/bfs/bfs.h"

// Opaque interpreter type: host code never looks inside it.
struct KvInterp;
using KvXsInit = void (*)(KvInterp*);

// The longest path the system accepts, in characters (PATH_MAX less the terminator).
constexpr int KV_PATH_MAX = 4095;
constexpr int KV_DL_MAX = 128;

constexpr int KOVRUN_ONESHOT = 1;
constexpr int KOVRUN_NO_DEBUG = 2;
// The process was started as perl (through the link that $^X names, see
// as_perl.h): the caller's arguments are an interpreter command line, run
// with the bound modules, instead of the bound script's arguments.
constexpr int KOVRUN_AS_PERL = 4;

// The build's version values, read from the entry "*" (a block of 32-bit
// little-endian words whose texts are offsets into the block). The texts
// point into `block`, which the record owns.
struct KovrunVersion {
    unsigned char* block;
    uint32_t block_length;
    const char* url;
    int32_t major, minor, release, build, checkin;
    const char* copyright;
    const char* suffix;
};
constexpr uint32_t KV_VERSION_RECORD_SIZE = 52;

struct KovrunSession {
    const BfsArchive* archive;       // current archive; Kovar::bfs switches it
    const BfsArchive* home_archive;  // archive found at start
    char* module_path;               // owned
    KvInterp* interp;
    KvXsInit xs_init;
    char** argv;        // owned array; texts belong to the fields below, constants or the caller
    char* setup;        // owned
    char* hashline;     // owned
    char* script;       // owned
    char* perl5db;      // owned; "PERL5DB=..." while in the environment
    char* perldb_opts;  // owned; "PERLDB_OPTS=..." while in the environment
    int32_t clean;
    int32_t base_made;
    int32_t process_made;
    char base_path[KV_PATH_MAX + 1];     // TEMP/qrx-USER/, computed once
    char process_path[KV_PATH_MAX + 1];  // TEMP/qrx-USER-PID-SUFFIX/
    // What make_temp_dir(session, 0) returns once settled: base_path, or the
    // fallback used because base_path belongs to someone else.
    const char* base_dir;
    KovrunVersion* version_record;  // owned, or null
    void* runtime;                  // runtime library handle
    void* dl_handles[KV_DL_MAX];
    int32_t dl_count;

    // An archive image handed over by the script: a private copy, so that it
    // stays valid and unchanged while it is current. Owned.
    unsigned char* image_copy;
    BfsArchive image_archive;
    // Private copy of argv[0] (the interpreter writes into it when $0 is
    // assigned), and the program lines that open and close the here-document
    // holding it, with a terminator that argv[0] does not contain. Owned.
    char* argv0;
    char* heredoc_open;
    char* heredoc_close;
    // The handle by which script code designates this session (0 until registered).
    int64_t handle;
    // Started with KOVRUN_AS_PERL; then, when the caller's switches or
    // environment may have put directories of their own in front of them, the
    // interpreter's compiled-in module directories, each ended by a NUL. Owned.
    int32_t as_perl;
    char* system_inc;
    size_t system_inc_length;
    // The directory of the archive's data files, which @INC lists after the
    // hook; null when the archive binds none. Owned.
    char* data_dir;
};

inline KvInterp* kovrun_interp(const KovrunSession* session) { return session->interp; }
