// The startup driver: session state, option entries, runtime library,
// interpreter command line, parse and run; and the session shutdown.
#include "src/launcher/kovrun.h"

#include <errno.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "src/bfs/bfs.h"
#include "src/binding/api.h"
#include "src/binding/kovar.h"
#include "src/binding/perlcall.h"
#include "src/binding/runtime_load.h"
#include "src/launcher/as_perl.h"
#include "src/launcher/diag.h"
#include "src/launcher/env.h"

namespace {

constexpr const char* kSetupFormat = "-eBEGIN { Kovar::_init(%lld); eval %s('%s'); die $@ if $@ }";
// Acting as perl, the setup code comes in through a -M switch: it runs before
// the caller's -M and -m modules and the script, and unlike -e it leaves the
// caller's script file (or standard input) to be the program. "use 5" is a
// statement that needs no module file.
constexpr const char* kAsPerlSetupFormat = "-M5;BEGIN { Kovar::_init(%lld); eval %s('%s'); die $@ if $@ }";
constexpr const char* kDebugFormat =
    "PERL5DB=BEGIN { $Kovar::P=$^P; $^P=0; delete %s; Kovar::_init(%lld); eval %s('%s'); die $@ if $@; "
    "$^P=$Kovar::P;}BEGIN { require 'perl5db.pl' }";
constexpr const char* kTerminator = "DOLLaR_NULL";
constexpr int kArgvExtra = 18;

char* format_alloc(const char* label, const char* format, ...) KV_PRINTF(2, 3);
char* format_alloc(const char* label, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    char* p = static_cast<char*>(panic_alloc(static_cast<size_t>(n) + 1, label));
    if (!p) return nullptr;
    va_start(args, format);
    vsnprintf(p, static_cast<size_t>(n) + 1, format, args);
    va_end(args);
    return p;
}

// Reads the version record and turns its text offsets into addresses. A
// record too short for its fields, or with a text outside it, counts as absent.
// False, after reporting, when the record is there but cannot be read.
bool read_version(const BfsArchive* archive, KovrunVersion** out) {
    *out = nullptr;
    bfs_cursor c;
    if (!bfs_lookup(archive, "*", 1, &c)) return true;
    char* block = bfs_extract(archive, "*", "*");
    if (!block) return false;
    uint32_t n = bfs_size(&c);
    auto* b = reinterpret_cast<unsigned char*>(block);
    auto text = [&](uint32_t at) -> const char* {
        uint32_t off = bfs_u32(b + at);
        if (off >= n || !memchr(b + off, 0, n - off)) return nullptr;
        return block + off;
    };
    KovrunVersion* v = nullptr;
    if (n >= KV_VERSION_RECORD_SIZE) {
        const char* url = text(16);
        const char* copyright = text(40);
        const char* suffix = text(44);
        if (url && copyright && suffix) v = static_cast<KovrunVersion*>(panic_alloc(sizeof(KovrunVersion), "*"));
        if (v) {
            v->block = b;
            v->block_length = n;
            v->url = url;
            v->copyright = copyright;
            v->suffix = suffix;
            v->major = static_cast<int32_t>(bfs_u32(b + 20));
            v->minor = static_cast<int32_t>(bfs_u32(b + 24));
            v->release = static_cast<int32_t>(bfs_u32(b + 28));
            v->build = static_cast<int32_t>(bfs_u32(b + 32));
            v->checkin = static_cast<int32_t>(bfs_u32(b + 36));
            *out = v;
            return true;
        }
        if (url && copyright && suffix) {
            free(block);
            return false;  // the allocation failure was reported
        }
    }
    free(block);
    return true;
}

// An option entry that is there but could not be read (its failure was
// reported) fails the start; an absent one is a normal case.
bool unreadable(const BfsArchive* archive, const char* name, const char* text) {
    return !text && bfs_lookup(archive, name, strlen(name), nullptr);
}

struct ParseCall {
    KvInterp* interp;
    KvXsInit xs_init;
    int argc;
    char** argv;
    int rc;
};

void do_parse(void* p) {
    auto* c = static_cast<ParseCall*>(p);
    c->rc = api.perl_parse(c->interp, c->xs_init, c->argc, c->argv, nullptr);
}

void do_run(void* p) {
    auto* c = static_cast<ParseCall*>(p);
    c->rc = api.perl_run(c->interp);
}

void do_set_perl5lib(void* p) {
    auto* interp = static_cast<KvInterp*>(p);
    api.Perl_sv_setpv(interp, api.Perl_get_sv(interp, "Kovar::PERL5LIB", 1), saved_perl5lib);
}

void do_arm_debugger(void* p) {
    auto* interp = static_cast<KvInterp*>(p);
    KvSV* single = api.Perl_get_sv(interp, "DB::single", 0);
    if (single) api.Perl_sv_setiv(interp, single, 1);
}

// With the interpreter's exit flag PERL_EXIT_DESTRUCT_END set, perl_run runs
// no END block; perl_destruct would run them, so the flag is cleared again
// before the interpreter is destroyed.
void set_end_blocks_held(KvInterp* interp, bool held) {
    static_assert(KV_SIZEOF_EXIT_FLAGS == 1, "exit flags are one byte");
    unsigned char* exit_flags = reinterpret_cast<unsigned char*>(interp) + KV_INTERP_EXIT_FLAGS;
    if (held)
        *exit_flags |= KV_PERL_EXIT_DESTRUCT_END;
    else
        *exit_flags &= static_cast<unsigned char>(~KV_PERL_EXIT_DESTRUCT_END);
}

void do_end_blocks(void* p) {
    auto* s = static_cast<KovrunSession*>(p);
    KvInterp* interp = s->interp;
    KvAV* end = *api.Perl_Iendav_ptr(interp);
    if (end) api.Perl_call_list(interp, *api.Perl_Tscopestack_ix_ptr(interp), end);
}

// The here-document terminator for argv[0]: the usual one, unless argv[0]
// contains it anywhere; then the first of TERMINATOR_1, _2, ... that it does
// not contain. Containment, not a line of its own: the interpreter also ends
// the text at a terminator line that ends in "\r\n" and would run the rest
// of argv[0] as code.
void argv0_terminator(const char* argv0, char* buffer, size_t size) {
    snprintf(buffer, size, "%s", kTerminator);
    for (unsigned i = 1; strstr(argv0, buffer); i++) snprintf(buffer, size, "%s_%u", kTerminator, i);
}

// The script's name as the #line directive can carry it: the directive takes
// the text between double quotes on its own line, so a double quote or a line
// break is shown as '?', as the setup code shows the names of bound modules.
void line_directive_name(char* name) {
    for (char* c = name; *c; c++)
        if (*c == '"' || *c == '\n' || *c == '\r') *c = '?';
}

// Builds the interpreter command line: setup argument, debugger start and
// argument vector. False after reporting; `debugging` tells whether the
// debugger was prepared.
bool build_command_line(KovrunSession* s, const char* check_code, int argc, char** argv, int flags,
                        bool* debugging, int* out_argc) {
    *debugging = false;
    // 1. Setup argument.
    s->setup = format_alloc("setup", kSetupFormat, static_cast<long long>(s->handle), "INC", "*SETUP");
    if (!s->setup) return false;
    // 2 and 3. The debugger, when the build asks for it.
    if (!(flags & KOVRUN_NO_DEBUG)) {
        char* t = bfs_extract(s->archive, "*DEBUG", "debugger options");
        if (unreadable(s->archive, "*DEBUG", t)) return false;
        if (t) {
            strcpy(s->setup, "-d");
            *debugging = true;
            if (t[0] != '-') {
                s->perldb_opts = format_alloc("PERLDB_OPTS", "PERLDB_OPTS=%s", t);
                if (!s->perldb_opts) {
                    free(t);
                    return false;
                }
                plat_env_put(s->perldb_opts);
            }
            free(t);
            s->perl5db = format_alloc("PERL5DB", kDebugFormat, "$ENV{PERL5DB}", static_cast<long long>(s->handle), "INC", "*SETUP");
            if (!s->perl5db) return false;
            plat_env_put(s->perl5db);
        }
    }
    // 4. The vector. Entry 0 is a private copy of argv[0]: the interpreter
    // writes into that text when $0 is assigned.
    size_t room = static_cast<size_t>(argc) + kArgvExtra;
    s->argv = static_cast<char**>(panic_alloc(room * sizeof(char*), "argv"));
    if (!s->argv) return false;
    const char* argv0 = argc > 0 && argv[0] ? argv[0] : "";
    s->argv0 = format_alloc("argv", "%s", argv0);
    if (!s->argv0) return false;
    size_t k = 0;
    s->argv[k++] = s->argv0;
    // 5. Taint mode.
    if (bfs_lookup(s->archive, "*TAINT", 6, nullptr)) s->argv[k++] = const_cast<char*>("-T");
    // 6. $0 from a here-document, then the setup argument.
    char term[64];
    argv0_terminator(argv0, term, sizeof term);
    s->heredoc_open = format_alloc("argv", "BEGIN {chop($0 = <<'%s');", term);
    s->heredoc_close = format_alloc("argv", "%s\n}\n", term);
    if (!s->heredoc_open || !s->heredoc_close) return false;
    s->argv[k++] = const_cast<char*>("-e");
    s->argv[k++] = s->heredoc_open;
    s->argv[k++] = const_cast<char*>("-e");
    s->argv[k++] = const_cast<char*>(argv0);
    s->argv[k++] = const_cast<char*>("-e");
    s->argv[k++] = s->heredoc_close;
    s->argv[k++] = s->setup;
    // 7. The program text.
    if (check_code) {
        s->argv[k++] = const_cast<char*>("-c");
        s->argv[k++] = const_cast<char*>("-e");
        s->argv[k++] = const_cast<char*>(check_code);
    } else {
        char* name = bfs_extract(s->archive, "*SCRIPTNAME", "scriptname");
        if (unreadable(s->archive, "*SCRIPTNAME", name)) return false;
        if (name) {
            s->script = bfs_extract(s->archive, name, "script");
            if (!s->script) {
                if (!bfs_lookup(s->archive, name, strlen(name), nullptr)) diag_print("Panic: Can't find script %s\n", name);
                free(name);
                return false;
            }
            line_directive_name(name);
            s->hashline = format_alloc("hashline", "-e#line 1 \"%s\"", name);
            free(name);
            if (!s->hashline) return false;
            s->argv[k++] = s->hashline;
            s->argv[k++] = const_cast<char*>("-e");
            s->argv[k++] = s->script;
        } else {
            s->argv[k++] = const_cast<char*>("-e BEGIN {}");
        }
    }
    // 8. The caller's arguments, after "--": they belong to the script, and
    // one that begins with '-' must not be taken as an interpreter switch.
    if (argc > 1) s->argv[k++] = const_cast<char*>("--");
    for (int i = 1; i < argc; i++) s->argv[k++] = argv[i];
    // 9. The vector must have room for its terminator.
    if (k >= room) {
        diag_print("Panic: new_argv overflow\n");
        abort();
    }
    s->argv[k] = nullptr;
    *out_argc = static_cast<int>(k);
    return true;
}

// The command line of a session started as perl: the setup switch, then the
// caller's own arguments, switches, script and all, as perl would get them.
bool build_perl_command_line(KovrunSession* s, int argc, char** argv, int* out_argc) {
    s->setup = format_alloc("setup", kAsPerlSetupFormat, static_cast<long long>(s->handle), "INC", "*SETUP");
    if (!s->setup) return false;
    s->argv = static_cast<char**>(panic_alloc((static_cast<size_t>(argc) + kArgvExtra) * sizeof(char*), "argv"));
    if (!s->argv) return false;
    s->argv0 = format_alloc("argv", "%s", argc > 0 && argv[0] ? argv[0] : "perl");
    if (!s->argv0) return false;
    int k = 0;
    s->argv[k++] = s->argv0;
    s->argv[k++] = s->setup;
    for (int i = 1; i < argc; i++) s->argv[k++] = argv[i];
    s->argv[k] = nullptr;
    *out_argc = k;
    return true;
}

}  // namespace

int kovrun_start(KovrunSession** session_slot, const char* module_name, const char* check_code, int argc,
                 char** argv, KvXsInit xs_init, int flags) {
    KovrunSession* parent = *session_slot;
    if (!kovrun_initialized) {
        diag_print("Panic: kovrun not initialized");
        return 1;
    }
    for (;;) {
        bool debugging = false;
        auto* s = static_cast<KovrunSession*>(panic_alloc(sizeof(KovrunSession), "KOVRUN"));
        if (!s) return 1;
        memset(s, 0, sizeof *s);
        if (parent) {
            s->archive = parent->archive;
            if (parent->module_path) s->module_path = strdup(parent->module_path);
            if (!xs_init) xs_init = parent->xs_init;
        } else {
            BfsFailure why = BFS_ABSENT;
            s->archive = bfs_resource(module_name, &s->module_path, &why);
            if (!s->archive) {
                if (why == BFS_DAMAGED)
                    diag_print("Panic: Damaged bfs section\n");
                else if (why == BFS_PATH_TOO_LONG)
                    diag_print("Panic: Executable path needs more than %d characters\n", PATH_MAX - 1);
                else
                    diag_print("Panic: Can't find bfs section\n");
                kovrun_free(s);
                return 1;
            }
        }
        s->home_archive = s->archive;
        if (!read_version(s->archive, &s->version_record)) {
            kovrun_free(s);
            return 1;
        }
        s->clean = bfs_lookup(s->archive, "*CLEAN", 6, nullptr);

        if (parent) {
            // The parent's interpreter runs on the runtime library that is
            // loaded and on the API table filled from it: a nested session
            // takes one more reference to that library and leaves the table
            // alone, whatever the archive it now reads names.
            s->runtime = plat_dl_share(parent->runtime);
            if (!s->runtime) diag_print("Panic: Can't locate %s\n", KV_RUNTIME_NAME);
        } else {
            char* dll = bfs_extract(s->archive, "*PERLDLL", "perldll");
            if (unreadable(s->archive, "*PERLDLL", dll)) {
                kovrun_free(s);
                return 1;
            }
            if (dll) {
                s->runtime = load_runtime(s, dll, nullptr);
                free(dll);
            } else {
                s->runtime = load_runtime(s, KV_RUNTIME_NAME, nullptr);
            }
        }
        if (!s->runtime || !session_register(s)) {
            if (s->runtime) diag_print("Panic: Too many sessions\n");
            kovrun_free(s);
            return 1;
        }
        bool data_failed = false;
        s->data_dir = bound_data_dir(s, &data_failed);
        if (data_failed) {
            kovrun_free(s);
            return 1;
        }

        int n = 0;
        s->as_perl = (flags & KOVRUN_AS_PERL) != 0;
        if (s->as_perl) kovrun_find_system_inc(s, argc, argv);
        if (s->as_perl ? !build_perl_command_line(s, argc, argv, &n)
                       : !build_command_line(s, check_code, argc, argv, flags, &debugging, &n)) {
            kovrun_free(s);
            return 1;
        }

        void* old = kv_get_context();
        s->interp = api.perl_alloc();
        if (!s->interp) {
            diag_print("Panic: Can't create interpreter\n");
            kv_set_context(old);
            kovrun_free(s);
            return 1;
        }
        kv_note_interpreter_created();
        api.Perl_set_context(s->interp);
        api.perl_construct(s->interp);
        // A nested interpreter ends long before the process does: its
        // shutdown frees everything it allocated.
        *api.Perl_Iperl_destruct_level_ptr(s->interp) = parent ? 1 : 0;
        s->xs_init = xs_init ? xs_init : host_xs_init;

        ParseCall call{s->interp, s->xs_init, n, s->argv, 0};
        // The script's failure status derives from errno: start it clean of
        // whatever the host's own calls left there.
        errno = 0;
        int rc = kv_protect(s->interp, do_parse, &call);
        if (rc == 0) rc = call.rc;

        if (rc != 0 && !debugging) {
            kv_set_context(old);
            *session_slot = s;
            return rc;
        }
        if (rc != 0) {
            kv_set_context(old);
            kovrun_free(s);
            diag_print("Retrying without debugging...\n");
            flags |= KOVRUN_NO_DEBUG;
            continue;
        }

        // A resident session holds back every END block, those compiled
        // while the main program runs included, until its quit sequence.
        if (!(flags & KOVRUN_ONESHOT)) set_end_blocks_held(s->interp, true);
        // The script may have made the variable read-only or tied it: a
        // failing store lands in the host's frame and the program runs on.
        if (saved_perl5lib) kv_protect(s->interp, do_set_perl5lib, s->interp);
        errno = 0;
        rc = kv_protect(s->interp, do_run, &call);
        if (rc == 0) rc = call.rc;
        if (debugging && rc == 0 && !(flags & KOVRUN_ONESHOT)) kv_protect(s->interp, do_arm_debugger, s->interp);
        kv_set_context(old);
        *session_slot = s;
        return rc;
    }
}

void kovrun_run_end_blocks(KovrunSession* s) {
    if (!s || !s->interp) return;
    void* old = kv_get_context();
    api.Perl_set_context(s->interp);
    KvSV* err = api.Perl_get_sv(s->interp, "@", 1);
    api.Perl_sv_setpv(s->interp, err, "");
    *api.Perl_Tcurstash_ptr(s->interp) = *api.Perl_Tdefstash_ptr(s->interp);
    // Each END block is taken off the list as it runs. One that dies or
    // exits lands in the frame and ends the run: the quit sequence goes on
    // without the blocks after it.
    kv_protect(s->interp, do_end_blocks, s);
    kv_set_context(old);
}

int kovrun_free(KovrunSession* s) {
    if (!s) return 1;
    if (s->interp) {
        void* old = kv_get_context();
        api.Perl_set_context(s->interp);
        // END blocks are the quit sequence's; a resident session's that
        // have not run by now never run.
        set_end_blocks_held(s->interp, false);
        api.perl_destruct(s->interp);
        api.perl_free(s->interp);
        kv_set_context(old == s->interp ? nullptr : old);
    }
    session_unregister(s);
    if (s->perl5db) {
        char* t = strdup("PERL5DB=");
        if (t) env_remove(t);
        free(s->perl5db);
    }
    if (s->perldb_opts) {
        char* t = strdup("PERLDB_OPTS=");
        if (t) env_remove(t);
        free(s->perldb_opts);
    }
    free(s->setup);
    free(s->argv);
    free(s->argv0);
    free(s->heredoc_open);
    free(s->heredoc_close);
    free(s->hashline);
    free(s->script);
    free(s->module_path);
    free(s->data_dir);
    if (s->version_record) {
        free(s->version_record->block);
        free(s->version_record);
    }
    free(s->image_copy);
    free(s->system_inc);
    for (int i = 0; i < s->dl_count; i++) plat_dl_close(s->dl_handles[i]);
    if (s->runtime) plat_dl_close(s->runtime);
    free(s);
    return 1;
}
