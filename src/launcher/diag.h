// Panic reports: one formatted message, written to the debugger output and to
// the standard error stream.
#pragma once

#if defined(__GNUC__)
#define KV_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define KV_PRINTF(a, b)
#endif

constexpr int DIAG_BUFFER_SIZE = 512;

void diag_print(const char* format, ...) KV_PRINTF(1, 2);
