// Removal of the interpreter's environment variables at start.
#pragma once

extern bool kovrun_initialized;
extern char* saved_perl5lib;

int env_kill();
void env_remove(char* text);
