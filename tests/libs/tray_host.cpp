// The tray host on the test backend: the steps of a test come from the
// environment variable KV_TRAY_STEPS, the backend's lines go to standard
// output.
#include <stdlib.h>

#include "platform/test/tray_test_backend.h"
#include "tray/tray_state.h"

int main(int argc, char** argv) {
    tray_test_set_steps(getenv("KV_TRAY_STEPS"));
    return tray_main(tray_test_backend(), argc, argv);
}
