// The tray host: runs the script bound into this executable as a tray
// application on the desktop backend, and exits with the script's status.
#include "src/bfs/rmtree.h"
#include "src/launcher/as_perl.h"
#include "src/launcher/diag.h"
#include "tray/tray_backend.h"
#include "tray/tray_state.h"

int main(int argc, char** argv) {
    // Started through the link that a running program's $^X names, it is a
    // console perl: no desktop, no icon.
    if (kovrun_started_as_perl(argc, argv)) return kovrun_console_run(argc, argv, true);
    char error[DIAG_BUFFER_SIZE];
    // The backend is written out and loaded first: the icon is up before the
    // script's main program runs.
    const TrayBackend* backend = tray_load_backend(error, sizeof error);
    if (!backend) {
        if (error[0]) diag_print("%s", error);
        // A program packed with --clean has made its process directory.
        cleanup_temp_dirs();
        return 1;
    }
    int status = tray_main(backend, argc, argv);
    // Also after a start that ended before the script's session existed.
    cleanup_temp_dirs();
    return status;
}
