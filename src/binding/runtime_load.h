// Finding, writing out, caching and loading the Perl runtime library.
#pragma once

#include "src/binding/api.h"  // KV_RUNTIME_ABI_SYMBOL
#include "src/launcher/session.h"

// Loads the runtime library (already in the process, bound in the session's
// archive, or on the system's search path) and fills the API table from it.
// A library taken from the archive is written out first, with the libraries
// that the option entry "*PERLDEPS" names written beside it.
// Returns the library handle, or null after reporting the cause.
void* load_runtime(KovrunSession* session, const char* name, const char* alternative);

// Writes the libraries that the option entry `list_name` names (one entry
// name a line; "*TRAYLIBS" for the tray host's desktop backend) into the
// directory where the session's runtime library is cached (or its process
// directory), on the same terms as the runtime library: each checked against
// its "NAME.crc32" before any is written, a cached one of the right size used
// as it is, one that the loader refuses written again once. Loads the last
// of them and returns its handle, with its path in *path (the caller's to
// free). Null on failure: with *reported set when the cause was reported,
// otherwise with the loader's reason in `reason`.
void* load_bound_libraries(KovrunSession* session, const char* list_name, char** path, char* reason,
                           size_t reason_size, bool* reported);

// Writes the bound extension library `name` (`length` bytes, e.g.
// "auto/List/Util/Util.so") below the directory of the program's extension
// libraries and data files, unless an earlier start left it there intact (a
// regular file of its size; `again` writes it anyway), on the terms of the
// cache: checked against its "NAME.crc32" first, written through a
// temporary file, never through a link. That directory is
// CACHE/KEY/, CACHE being the runtime library's checksum directory and KEY
// the option entry "*FILES.md5"; the process directory for a program packed
// with --clean or without that entry. Returns the file's path (the caller's
// to free); null with *bound unset when nothing is bound under the name, or
// with *bound set and the reason in `why`.
char* bound_library(KovrunSession* session, const char* name, size_t length, bool again, bool* bound, char* why,
                    size_t why_size);

// Writes the data files that the option entry "*DATAFILES" names (one entry
// name a line) into the directory "data" beside the extension libraries, on
// the same terms, all checked before the first is written. Returns that
// directory's path (no trailing separator; the caller's to free); null
// without the entry, or with *failed set after reporting.
char* bound_data_dir(KovrunSession* session, bool* failed);
