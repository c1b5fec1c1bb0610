// The Kovar host module: functions that bound Perl code calls, and the
// session handles by which they find their session.
#pragma once

#include <cstddef>

#include "src/binding/api.h"
#include "src/launcher/session.h"

// Registers the host module's functions (and DynaLoader's boot function) in
// an interpreter; the default extension initialiser.
void host_xs_init(KvInterp* interp);

// Gives the session a handle that script code can name it by. Only handles of
// live, registered sessions are ever accepted.
bool session_register(KovrunSession* session);
void session_unregister(KovrunSession* session);
KovrunSession* session_find(long long handle);

// The session that the interpreter's $Kovar::_kovrun designates; raises
// "Panic: _kovrun not defined" in the interpreter otherwise (does not return).
KovrunSession* session_of(KvInterp* interp);

// The per-user data directory (application-data base + "Veltrix"), ending
// with a separator. True with a malloc'd path, or false with a malloc'd error.
bool user_data_dir(char** out_path, size_t* out_length, char** out_error);
