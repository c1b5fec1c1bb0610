// Removal of the registered per-process directories at exit.
#pragma once

// Removes every directory in the cleanup list, newest first, printing
// "rmtree failed" (perror) for each one that could not be removed; empties
// the list and clears kovrun_initialized.
void cleanup_temp_dirs();

// Removes the directory path and everything below it, read-only entries
// included. Symbolic links are removed, never followed. Returns rmdir's
// result for path: 0, or -1 with errno.
int rmtree(const char* path);
