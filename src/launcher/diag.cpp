#include "src/launcher/diag.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

void diag_print(const char* format, ...) {
    // The whole message is formatted before anything is written; a message
    // longer than the buffer is cut at the buffer's end.
    char buffer[DIAG_BUFFER_SIZE];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, sizeof buffer - 1, format, args);
    va_end(args);
    if (n < 0) buffer[0] = 0;
    size_t len = strlen(buffer);
    // One message, one line of its own: the next output starts on a new line.
    if (len == 0 || buffer[len - 1] != '\n') {
        buffer[len++] = '\n';
        buffer[len] = 0;
    }
    plat_debug_output(buffer);
    fputs(buffer, stderr);
    fflush(stderr);
}
