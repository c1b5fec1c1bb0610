// The desktop backend is a shared library that the host loads at run time,
// so that the host executable links no toolkit and a program without a
// usable desktop ends with one clear line instead of a loader error.
#include "tray/tray_backend.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "src/bfs/bfs.h"
#include "src/binding/runtime_load.h"
#include "src/launcher/diag.h"
#include "src/launcher/session.h"

namespace {

// The table of a loaded backend library, which stays loaded for the life of
// the process; null with the reason in `error` (the library then closed).
const TrayBackend* backend_of(void* library, const char* path, char* error, size_t error_size) {
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
    return backend;
}

// The loader's reason, said plainly when it is the toolkit that is missing.
void load_failure(const char* why, char* error, size_t error_size) {
    if (strstr(why, "libQt6") && strstr(why, "cannot open shared object file"))
        snprintf(error, error_size, "Panic: Can't load the desktop backend: Qt 6 is not installed (%s)\n", why);
    else
        snprintf(error, error_size, "Panic: Can't load the desktop backend: %s\n", why);
}

}  // namespace

const TrayBackend* tray_backend_from_library(const char* path, char* error, size_t error_size) {
    void* library = plat_dl_open(path);
    if (!library) {
        const char* why = dlerror();
        load_failure(why ? why : "unknown error", error, error_size);
        return nullptr;
    }
    return backend_of(library, path, error, error_size);
}

const TrayBackend* tray_load_backend(char* error, size_t error_size) {
    error[0] = 0;
    BfsFailure failure = BFS_ABSENT;
    const BfsArchive* archive = bfs_resource(nullptr, nullptr, &failure);
    if (!archive) {
        // The reasons the startup driver gives for the same archive.
        if (failure == BFS_DAMAGED)
            snprintf(error, error_size, "Panic: Damaged bfs section\n");
        else if (failure == BFS_PATH_TOO_LONG)
            snprintf(error, error_size, "Panic: Executable path needs more than %d characters\n", PATH_MAX - 1);
        else
            snprintf(error, error_size, "Panic: Can't find bfs section\n");
        return nullptr;
    }
    if (!bfs_lookup(archive, TRAY_LIBRARIES_ENTRY, strlen(TRAY_LIBRARIES_ENTRY), nullptr)) {
        snprintf(error, error_size, "Panic: This program carries no desktop backend\n");
        return nullptr;
    }
    // The backend goes where the runtime library goes, before the script's
    // session exists: a session record of its own finds the directories,
    // which the script's session then shares.
    auto* session = static_cast<KovrunSession*>(panic_alloc(sizeof(KovrunSession), "KOVRUN"));
    if (!session) return nullptr;
    memset(session, 0, sizeof *session);
    session->archive = archive;
    session->home_archive = archive;
    session->clean = bfs_lookup(archive, "*CLEAN", 6, nullptr);
    char reason[DIAG_BUFFER_SIZE];
    bool reported = false;
    char* path = nullptr;
    void* library = load_bound_libraries(session, TRAY_LIBRARIES_ENTRY, &path, reason, sizeof reason, &reported);
    free(session);
    if (!library) {
        // A reported failure has said its line already.
        if (!reported) load_failure(reason, error, error_size);
        return nullptr;
    }
    const TrayBackend* backend = backend_of(library, path, error, error_size);
    free(path);
    return backend;
}
