// The console host: runs the script bound into this executable once, with the
// program's own arguments, and exits with the script's status.
#include <stdio.h>

#include "platform/platform.h"
#include "src/bfs/rmtree.h"
#include "src/launcher/env.h"
#include "src/launcher/kovrun.h"

int main(int argc, char** argv) {
    if (env_kill() != 0) return 1;
    // Before the interpreter exists, so that the script's own %SIG handlers
    // replace these.
    kv_catch_exit_signals(false);
    KovrunSession* session = nullptr;
    int rc = kovrun_start(&session, nullptr, nullptr, argc, argv, nullptr, KOVRUN_ONESHOT);
    // The script's handlers go with its interpreter: a signal that arrives
    // while it is taken down waits until ours are back, and then removes the
    // process directory before it ends the program.
    uint64_t blocked = plat_block_exit_signals();
    kovrun_free(session);
    kv_catch_exit_signals(true);
    plat_restore_exit_signals(blocked);
    cleanup_temp_dirs();
    fflush(stdout);
    return rc & 0xFF;
}
