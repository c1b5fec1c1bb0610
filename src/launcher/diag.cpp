#include "src/launcher/diag.h"

#include <stdarg.h>
#include <stdio.h>

#include "platform/platform.h"

void diag_print(const char* format, ...) {
    // The whole message is formatted before anything is written; a message
    // longer than the buffer is cut at the buffer's end.
    char buffer[DIAG_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    plat_debug_output(buffer);
    fputs(buffer, stderr);
    fflush(stderr);
}
