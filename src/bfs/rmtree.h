// Removal of the registered per-process directories at exit, and when a
// signal ends the process.
#pragma once

// Removes every directory in the cleanup list that this process registered,
// newest first, printing "rmtree failed" (perror) for each one that could not
// be removed; entries inherited from a parent process are dropped without
// removal. Empties the list and clears kovrun_initialized.
void cleanup_temp_dirs();

// Removes the directory path and everything below it, read-only entries
// included. Symbolic links are removed, never followed. Returns rmdir's
// result for path: 0, or -1 with errno. Async-signal-safe.
int rmtree(const char* path);

// Removes everything below the open directory fd, never following links.
// Async-signal-safe. 0, or -1 when fd is not open.
int kv_empty_directory(int fd);

// Makes the terminating signals (HUP, INT, QUIT, PIPE, ALRM, TERM, USR1,
// USR2) remove this process's registered directories and then end the
// process by the same signal. Called before the interpreter starts (its own
// %SIG handlers then replace these), and with `reclaim` once the interpreter
// is gone, to take back what the script left.
void kv_catch_exit_signals(bool reclaim);
