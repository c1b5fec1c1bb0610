#include "src/launcher/env.h"

#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "platform/platform.h"
#include "src/bfs/bfs.h"

bool kovrun_initialized = false;
char* saved_perl5lib = nullptr;

namespace {

enum class Kept { none, perl5lib, perllib };

// Each prefix carries its '=' so that longer names such as PERL5OPTS or
// PERL5DB_X do not match.
struct RemovedVariable {
    const char* prefix;
    size_t length;
    Kept kept;
};

constexpr RemovedVariable kRemoved[] = {
    {"PERL5LIB=", 9, Kept::perl5lib}, {"PERLLIB=", 8, Kept::perllib}, {"PERL5OPT=", 9, Kept::none},
    {"PERL5DB=", 8, Kept::none},      {"PERL5SHELL=", 11, Kept::none},
};

char* copy_text(const char* text, size_t length, const char* label) {
    auto* p = static_cast<char*>(panic_alloc(length + 1, label));
    if (p) {
        memcpy(p, text, length);
        p[length] = 0;
    }
    return p;
}

const RemovedVariable* removed_variable(const char* entry) {
    if (strncasecmp(entry, "PERL", 4) != 0) return nullptr;
    for (const auto& r : kRemoved)
        if (strncasecmp(entry, r.prefix, r.length) == 0) return &r;
    return nullptr;
}

}  // namespace

void env_remove(char* text) {
    if (!text) return;
    char* eq = strchr(text, '=');
    if (eq) {
        eq[1] = 0;  // "NAME=" removes; a value would set the variable instead
        plat_env_put(text);
    }
    free(text);
}

int env_kill() {
    plat_lock_init();
    char** env = plat_environ();
    if (env) {
        size_t n = 0;
        while (env[n]) ++n;
        auto** names = static_cast<char**>(panic_alloc((n + 1) * sizeof(char*), "env_kill"));
        if (!names) return 1;
        size_t recorded = 0;
        char* perl5lib = nullptr;
        char* perllib = nullptr;
        bool failed = false;

        // Only record during the walk: removing a variable rearranges the
        // table being read.
        for (size_t i = 0; i < n; ++i) {
            char** table = plat_environ();
            if (!table || !table[i]) break;
            const char* entry = table[i];
            const RemovedVariable* r = removed_variable(entry);
            if (!r) continue;
            if (r->kept != Kept::none) {
                const char* value = entry + r->length;
                char* copy = copy_text(value, strlen(value), "env_kill entry");
                if (!copy) {
                    failed = true;
                    break;
                }
                char*& slot = r->kept == Kept::perl5lib ? perl5lib : perllib;
                free(slot);
                slot = copy;
            }
            // The name as spelt in the environment, with its '='.
            char* name = copy_text(entry, r->length, "env_kill entry");
            if (!name) {
                failed = true;
                break;
            }
            names[recorded++] = name;
        }

        if (failed) {
            for (size_t i = 0; i < recorded; ++i) free(names[i]);
            free(names);
            free(perl5lib);
            free(perllib);
            return 1;
        }

        char* kept = perl5lib ? perl5lib : perllib;
        if (kept != perllib) free(perllib);
        if (kept) {
            free(saved_perl5lib);
            saved_perl5lib = kept;
        }
        while (recorded > 0) env_remove(names[--recorded]);
        free(names);
    }
    kovrun_initialized = true;
    return 0;
}
