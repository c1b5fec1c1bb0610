// Loads the runtime library the way a session start does, in a process of its
// own, and tells which file was loaded. The runtime-loading tests need a
// process that has loaded no runtime yet and whose library search path they
// choose, hence a separate program.
//
//   kv_runtime_probe NAME ALTERNATIVE|- ARCHIVE...
//
// For each ARCHIVE (a file holding an archive image and its trailer), in
// order, a session on that archive calls load_runtime(NAME, ALTERNATIVE) and
// prints "loaded PATH" (the file behind the returned handle) or "failed".
// Exit status 0 when every load succeeded, 1 otherwise, 2 for bad usage.
#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>

#include "src/bfs/bfs.h"
#include "src/binding/runtime_load.h"
#include "src/launcher/session.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s NAME ALTERNATIVE|- ARCHIVE...\n", argv[0]);
        return 2;
    }
    const char* name = argv[1];
    const char* alternative = strcmp(argv[2], "-") == 0 ? nullptr : argv[2];
    int status = 0;
    for (int i = 3; i < argc; i++) {
        const BfsArchive* archive = bfs_map_file(argv[i]);
        if (!archive) {
            fprintf(stderr, "no archive in %s\n", argv[i]);
            return 2;
        }
        // Sessions stay alive: a loaded runtime belongs to its session.
        static KovrunSession sessions[8];
        if (i - 3 >= 8) return 2;
        KovrunSession* s = &sessions[i - 3];
        s->archive = s->home_archive = archive;
        s->clean = bfs_lookup(archive, "*CLEAN", 6, nullptr);
        s->runtime = load_runtime(s, name, alternative);
        struct link_map* map = nullptr;
        if (s->runtime && dlinfo(s->runtime, RTLD_DI_LINKMAP, &map) == 0 && map) {
            printf("loaded %s\n", map->l_name);
        } else {
            printf("failed\n");
            status = 1;
        }
        fflush(stdout);
    }
    return status;
}
