// The small set of operating-system services the host needs, behind one
// plain interface so that each platform supplies its own backend.
#pragma once

#include <cstddef>
#include <cstdint>

// Path of the running executable; false when it cannot be determined or does
// not fit into `size` bytes (terminator included), errno then ENAMETOOLONG.
bool plat_exe_path(char* buf, size_t size);

// Path of a shared object already loaded in the process under `name` (as the
// dynamic loader knows it); false when it is not loaded. Nothing is loaded.
bool plat_module_path(const char* name, char* buf, size_t size);

// Read-only mapping of `length` bytes of an open file from `offset`, which must
// be a multiple of plat_map_granularity(). Null on failure. Mappings made here
// stay for the life of the process unless plat_unmap is called.
const unsigned char* plat_map_readonly(int fd, uint64_t offset, size_t length);
void plat_unmap(const unsigned char* view, size_t length);
size_t plat_map_granularity();
// Lets the system take back the pages of [view, view + length), part of a
// mapping made by plat_map_readonly (both ends multiples of
// plat_map_granularity()): they leave the process's memory and are read
// from the file again when touched.
void plat_map_release(const unsigned char* view, size_t length);
// Starts writing [offset, offset + length) of the file to disk without
// waiting, so that a later sync of the file has less left to wait for.
// Nothing where the system has no such call.
void plat_start_writeback(int fd, uint64_t offset, size_t length);

// Runs work(arg) in a process of its own that may outlive this one and is
// not its child (no `wait` of the program's ever sees it), so that slow work
// whose result only later starts need is off this start's path. The work
// begins once this process has ended, or after a fifth of a second, so that
// it does not compete with the rest of the start. Only the descriptors in
// `keep` stay open there; terminal signals do not reach it. `work` must use
// only async-signal-safe calls (no allocation, no locks), and what `arg`
// points to must not change until the call returns. False when no such
// process could be started: the caller then does the work itself.
bool plat_run_detached(void (*work)(void*), void* arg, const int* keep, size_t keep_count);

// The process-wide lock that serialises entry reads and the cleanup list.
void plat_lock_init();
void plat_lock();
void plat_unlock();

// The debugger output channel: the system log at debug priority, tagged with
// the program name, or the file named by KOVRUN_DEBUG_LOG when that is set.
void plat_debug_output(const char* text);

// Dynamic libraries. Handles are opaque; open loads with global symbol
// visibility so that extension libraries loaded later resolve against it.
void* plat_dl_open(const char* path);
void* plat_dl_loaded(const char* name);   // a new reference, or null when not loaded
void* plat_dl_share(void* handle);        // a new reference to a loaded library, or null
void* plat_dl_sym(void* handle, const char* name);
void plat_dl_close(void* handle);
// The loader's reason for the last failure of the calls above, or null.
const char* plat_dl_error();

// Facts about the user and process.
bool plat_temp_path(char* buf, size_t size, size_t* out_length);  // with trailing separator
bool plat_user_name(char* buf, size_t size);
unsigned plat_uid();  // the effective user's numeric id
int plat_pid();
// Fills buf with n bytes from the system's random source; false when it has
// none to give.
bool plat_random(void* buf, size_t n);

// Advisory exclusive lock on an open file or directory, without waiting. The
// lock belongs to the open file: forked children share it, it is released
// when the last descriptor of that open file is closed (a close-on-exec
// descriptor thus ends it at exec). 1: locked; 0: another open file holds
// it; -1: the file system cannot lock.
int plat_try_lock(int fd);

// The signals that end a process by default and that a program may clean up
// after: HUP, INT, QUIT, PIPE, ALRM, TERM, USR1, USR2. The handler runs with
// all of them blocked. Before an interpreter runs (`reclaim` false) it is
// installed only where the disposition is the default one, so that an
// ignored signal stays ignored. Once the interpreter is gone (`reclaim`
// true) it also replaces any handler the script left behind and a default
// set by the script, for the signals that were not ignored at start.
void plat_catch_exit_signals(void (*handler)(int), bool reclaim);
// From inside a handler: ends the process by `sig` with its default action,
// so that the parent sees the signal. Async-signal-safe.
[[noreturn]] void plat_die_by_signal(int sig);
// Blocks the exit signals in the calling thread; the result, handed to
// plat_restore_exit_signals, unblocks those that were not blocked before.
uint64_t plat_block_exit_signals();
void plat_restore_exit_signals(uint64_t saved);
constexpr char PLAT_SEP = '/';

// Writes all n bytes to the descriptor, retrying after interruptions.
bool plat_write_all(int fd, const void* data, size_t n);

// Process environment.
char** plat_environ();
int plat_env_put(char* entry);        // "NAME=VALUE": set; "NAME=": remove

// True when `handle` is the handle of a library loaded in the process now.
bool plat_dl_is_handle(void* handle);
