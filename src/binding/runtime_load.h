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
