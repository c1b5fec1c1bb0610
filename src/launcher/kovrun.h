// Starting and ending interpreter sessions.
#pragma once

#include "src/launcher/session.h"

// Starts a session on the archive (or the parent's current archive when the
// slot holds a parent). Returns 0 when the main program ran to a zero status,
// 1 for a failure before the interpreter exists, or the interpreter's status.
int kovrun_start(KovrunSession** session_slot, const char* module_name, const char* check_code, int argc,
                 char** argv, KvXsInit xs_init, int flags);

// Shuts a session down and frees it; null is allowed. Returns 1.
int kovrun_free(KovrunSession* session);

// Runs the END blocks that a resident session held back (its interpreter
// current, inside a jump frame), for the quit sequence of a long-lived host.
void kovrun_run_end_blocks(KovrunSession* session);
