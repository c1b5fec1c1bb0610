// The desktop backend is a shared library that the host loads at run time,
// so that the host executable links no toolkit and a program without a
// usable desktop ends with one clear line instead of a loader error.
#include "tray/tray_backend.h"

#include <dlfcn.h>
#include <stdio.h>

#include "platform/platform.h"

const TrayBackend* tray_backend_from_library(const char* path, char* error, size_t error_size) {
    void* library = plat_dl_open(path);
    if (!library) {
        const char* why = dlerror();
        snprintf(error, error_size, "Panic: Can't load the desktop backend %s: %s\n", path, why ? why : "unknown error");
        return nullptr;
    }
    auto entry = reinterpret_cast<TrayBackendEntry>(plat_dl_sym(library, TRAY_BACKEND_SYMBOL));
    const TrayBackend* backend = entry ? entry() : nullptr;
    if (!backend) {
        snprintf(error, error_size, "Panic: %s is not a desktop backend\n", path);
        plat_dl_close(library);
        return nullptr;
    }
    if (backend->abi != TRAY_BACKEND_ABI) {
        snprintf(error, error_size, "Panic: The desktop backend %s serves another host (interface %u, expected %u)\n", path,
                 backend->abi, TRAY_BACKEND_ABI);
        plat_dl_close(library);
        return nullptr;
    }
    // Kept loaded for the life of the process.
    return backend;
}

const TrayBackend* tray_load_backend(char* error, size_t error_size) {
    // The program carries its backend library in its archive, written out
    // beside the runtime library and loaded with tray_backend_from_library.
    // No backend is carried yet.
    snprintf(error, error_size, "Panic: This program carries no desktop backend\n");
    return nullptr;
}
