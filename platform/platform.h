// The small set of operating-system services the host needs, behind one
// plain interface so that each platform supplies its own backend.
#pragma once

#include <cstddef>
#include <cstdint>

// Path of the running executable; false when it cannot be determined or does
// not fit into `size` bytes (terminator included).
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
void* plat_dl_sym(void* handle, const char* name);
void plat_dl_close(void* handle);
// The loader's reason for the last failure of the calls above, or null.
const char* plat_dl_error();

// Facts about the user and process.
bool plat_temp_path(char* buf, size_t size, size_t* out_length);  // with trailing separator
bool plat_user_name(char* buf, size_t size);
int plat_pid();
constexpr char PLAT_SEP = '/';

// Writes all n bytes to the descriptor, retrying after interruptions.
bool plat_write_all(int fd, const void* data, size_t n);

// Process environment.
char** plat_environ();
int plat_env_put(char* entry);        // "NAME=VALUE": set; "NAME=": remove

// True when `handle` is the handle of a library loaded in the process now.
bool plat_dl_is_handle(void* handle);
