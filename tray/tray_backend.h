// Finding the desktop backend of the tray host at run time.
#pragma once

#include <stddef.h>

#include "platform/tray.h"

// Loads the backend library at `path` and returns its table; null with a
// "Panic: ..." line (ending in a newline) in `error` when the library cannot
// be loaded, has no table, or serves another host.
const TrayBackend* tray_backend_from_library(const char* path, char* error, size_t error_size);

// The backend that this program uses; null with a "Panic: ..." line in
// `error` when none is available.
const TrayBackend* tray_load_backend(char* error, size_t error_size);
