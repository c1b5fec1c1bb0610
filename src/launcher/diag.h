// Panic reports: one formatted message, written to the debugger output and to
// the standard error stream.
#pragma once

#include <limits.h>

#if defined(__GNUC__)
#define KV_PRINTF(a, b) __attribute__((format(printf, a, b)))
#else
#define KV_PRINTF(a, b)
#endif

// Room for a message that names two paths of the longest length the system
// allows (the most any message embeds) and its own text.
constexpr int DIAG_BUFFER_SIZE = 2 * PATH_MAX + 512;

// Every message ends with a line feed: one that its format does not supply is
// added, and a message cut at the buffer's end still ends with one.
void diag_print(const char* format, ...) KV_PRINTF(1, 2);
