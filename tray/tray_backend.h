// Finding the desktop backend of the tray host at run time.
#pragma once

#include <stddef.h>

#include "platform/tray.h"

// Loads the backend library at `path` and returns its table; null with a
// "Panic: ..." line (ending in a newline) in `error` when the library cannot
// be loaded, has no table, or serves another host.
const TrayBackend* tray_backend_from_library(const char* path, char* error, size_t error_size);

// The option entry that lists the libraries of the desktop backend, one
// entry name a line: the backend library last, anything it needs before it.
// They are written beside the runtime library and the backend is loaded.
constexpr const char* TRAY_LIBRARIES_ENTRY = "*TRAYLIBS";

// The backend that this program carries in its archive, written out and
// loaded; null when none is available, with a "Panic: ..." line in `error`,
// or with `error` empty when the cause was reported already.
const TrayBackend* tray_load_backend(char* error, size_t error_size);
