// Removal of the interpreter's environment variables at start.
#pragma once

// Set once env_kill has run; cleared by cleanup_temp_dirs at the end.
extern bool kovrun_initialized;
// The user's library path (PERL5LIB, else PERLLIB) taken from the
// environment by env_kill; null when neither was set. Lives for the process.
extern char* saved_perl5lib;

// Removes PERL5LIB, PERLLIB, PERL5OPT, PERL5DB and PERL5SHELL (any letter
// case) from the process environment, keeps the library path aside, creates
// the process-wide lock and marks the process initialised. 0 on success, 1
// when an allocation failed (then nothing is removed and the process is not
// marked initialised).
int env_kill();

// text: a malloc'd "NAME=" string. Removes NAME from the process
// environment and frees text. Anything after the first '=' is ignored, so
// the call never sets a variable.
void env_remove(char* text);
