// A packed program as the interpreter its own script starts.
//
// Scripts start helper interpreters through $^X (`qx{$^X -e ...}`, `system
// $^X, "-MFoo", "file.pl"`, a test harness running test files). In a packed
// program perl would set $^X to the program itself, which would take the
// interpreter's switches as its script's arguments and run its script again,
// without end. So every packed program sets $^X to a symbolic link named
// "perl" in its own process directory (TEMP/qrx-USER-PID-SUFFIX/perl), which
// points at its executable. A program started through such a link (the path
// the kernel executed, or argv[0], names a link of the effective user to this
// very executable, inside a private process directory of the user) acts as
// perl: its arguments are an interpreter command line, run with the bound
// modules. A program started under any other name (./prog -e 1) runs its
// script with @ARGV = ("-e", "1").
//
// The link lives as long as the process directory: a child that outlives the
// program that made it gets ENOENT when it starts that $^X.
#pragma once

#include "src/launcher/session.h"

// True when the process was started through a link that a running packed
// program made for $^X, to this executable.
bool kovrun_started_as_perl(int argc, char** argv);

// The link that $^X names: made (with the process directory) on the first
// call, absolute. Null when it cannot be made; the debugger output says why.
const char* kovrun_perl_link(KovrunSession* session);

// For a session started as perl: when the caller's switches or environment
// may put module directories of their own in front of the interpreter's
// compiled-in ones, finds the compiled-in ones (an interpreter with no
// switches and taint mode on, which ignores the environment, is asked) and
// keeps them in the session. The setup code keeps the caller's directories and
// drops the compiled-in ones unless the program was packed to keep them.
void kovrun_find_system_inc(KovrunSession* session, int argc, char** argv);

// The console host's run: the bound script with the program's arguments, or,
// when `as_perl`, the interpreter command line in the arguments. Returns the
// exit status.
int kovrun_console_run(int argc, char** argv, bool as_perl);
