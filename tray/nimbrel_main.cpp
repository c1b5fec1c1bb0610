// The tray host: runs the script bound into this executable as a tray
// application on the desktop backend, and exits with the script's status.
#include "src/launcher/diag.h"
#include "tray/tray_backend.h"
#include "tray/tray_state.h"

int main(int argc, char** argv) {
    char error[DIAG_BUFFER_SIZE];
    const TrayBackend* backend = tray_load_backend(error, sizeof error);
    if (!backend) {
        diag_print("%s", error);
        return 1;
    }
    return tray_main(backend, argc, argv);
}
