// The tray host on the test backend: the steps of a test come from the
// environment variable KV_TRAY_STEPS, the backend's lines go to standard
// output. KV_NET_TIMEOUTS ("CONNECT_MS,STALL_MS") shortens the downloads'
// time-outs.
#include <stdio.h>
#include <stdlib.h>

#include "platform/net.h"
#include "platform/test/tray_test_backend.h"
#include "tray/tray_state.h"

int main(int argc, char** argv) {
    tray_test_set_steps(getenv("KV_TRAY_STEPS"));
    unsigned connect_ms = 0, stall_ms = 0;
    const char* timeouts = getenv("KV_NET_TIMEOUTS");
    if (timeouts && sscanf(timeouts, "%u,%u", &connect_ms, &stall_ms) == 2) net_set_timeouts(connect_ms, stall_ms);
    return tray_main(tray_test_backend(), argc, argv);
}
