#include "src/launcher/as_perl.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "src/bfs/rmtree.h"
#include "src/bfs/tempdir.h"
#include "src/binding/api.h"
#include "src/binding/perlcall.h"
#include "src/launcher/diag.h"
#include "src/launcher/env.h"
#include "src/launcher/kovrun.h"

namespace {

constexpr const char* kLinkName = "perl";
// Hexadecimal digits at the end of a process directory's name.
constexpr size_t kSuffixDigits = 12;

// The name of a process directory, qrx-USER-PID-SUFFIX.
bool process_dir_name(const char* name) {
    size_t n = strlen(name);
    if (n < 4 + 1 + 1 + 1 + 1 + kSuffixDigits || strncmp(name, "qrx-", 4) != 0) return false;
    const char* suffix = name + n - kSuffixDigits;
    for (size_t i = 0; i < kSuffixDigits; i++)
        if (!((suffix[i] >= '0' && suffix[i] <= '9') || (suffix[i] >= 'a' && suffix[i] <= 'f'))) return false;
    const char* p = suffix - 1;
    if (*p != '-') return false;
    size_t digits = 0;
    while (p - 1 > name + 4 && p[-1] >= '0' && p[-1] <= '9') {
        p--;
        digits++;
    }
    // A user name of at least one character stands between "qrx-" and the id.
    return digits > 0 && digits <= 10 && p[-1] == '-' && p - 1 > name + 4;
}

// A link named "perl" of the effective user, in a private process directory
// of that user, through which this executable is reached.
bool is_perl_link(const char* path) {
    if (!path) return false;
    size_t n = strlen(path);
    const char* slash = strrchr(path, '/');
    if (n > static_cast<size_t>(KV_PATH_MAX) || !slash || strcmp(slash + 1, kLinkName) != 0) return false;
    char dir[KV_PATH_MAX + 1];
    size_t d = static_cast<size_t>(slash - path);
    memcpy(dir, path, d);
    dir[d] = 0;
    while (d > 0 && dir[d - 1] == '/') dir[--d] = 0;
    const char* name = strrchr(dir, '/');
    if (d == 0 || !process_dir_name(name ? name + 1 : dir)) return false;
    struct stat st;
    if (lstat(dir, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != plat_uid() || (st.st_mode & (S_IWGRP | S_IWOTH)))
        return false;
    if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode) || st.st_uid != plat_uid()) return false;
    char exe[KV_PATH_MAX + 1];
    struct stat target, self;
    return plat_exe_path(exe, sizeof exe) && stat(path, &target) == 0 && stat(exe, &self) == 0 &&
           target.st_dev == self.st_dev && target.st_ino == self.st_ino;
}

// Makes the link into `out` (KV_PATH_MAX + 1 bytes); null, or the reason.
const char* make_link(KovrunSession* s, char* out) {
    out[0] = 0;
    char exe[KV_PATH_MAX + 1];
    if (!plat_exe_path(exe, sizeof exe)) return strerror(errno);
    const char* dir = make_temp_dir(s, 1);
    if (!dir) return "no process directory";
    size_t len = 0;
    if (dir[0] != '/') {
        if (!getcwd(out, KV_PATH_MAX + 1)) return strerror(errno);
        len = strlen(out);
        if (len > 0 && out[len - 1] != '/') out[len++] = '/';
    }
    size_t d = strlen(dir), name = strlen(kLinkName);
    if (len + d + name > static_cast<size_t>(KV_PATH_MAX)) return strerror(ENAMETOOLONG);
    memcpy(out + len, dir, d);
    memcpy(out + len + d, kLinkName, name + 1);
    if (symlink(exe, out) == 0) return nullptr;
    if (errno != EEXIST) return strerror(errno);
    // Made by an earlier session of this process.
    char target[KV_PATH_MAX + 1];
    ssize_t t = readlink(out, target, sizeof target - 1);
    if (t < 0 || static_cast<size_t>(t) != strlen(exe) || memcmp(target, exe, static_cast<size_t>(t)) != 0)
        return "something else is there";
    return nullptr;
}

struct ProbeCall {
    KvInterp* interp;
    char** argv;
    int rc;
};

void do_probe_parse(void* p) {
    auto* c = static_cast<ProbeCall*>(p);
    c->rc = api.perl_parse(c->interp, nullptr, 4, c->argv, nullptr);
}

}  // namespace

bool kovrun_started_as_perl(int argc, char** argv) {
    // The path the kernel executed, which also covers a link found through
    // PATH; argv[0] covers the interpreter line of a script.
    if (is_perl_link(reinterpret_cast<const char*>(getauxval(AT_EXECFN)))) return true;
    return argc > 0 && is_perl_link(argv[0]);
}

const char* kovrun_perl_link(KovrunSession* s) {
    // One link per process; a forked child shares its parent's.
    static char link[KV_PATH_MAX + 1];
    static bool tried = false;
    if (tried) return link[0] ? link : nullptr;
    tried = true;
    int saved_errno = errno;
    const char* why = make_link(s, link);
    if (why) {
        char message[KV_PATH_MAX + 128];
        snprintf(message, sizeof message, "Can't make the link %s for $^X: %s\n", link[0] ? link : kLinkName, why);
        plat_debug_output(message);
        link[0] = 0;
    }
    errno = saved_errno;
    return link[0] ? link : nullptr;
}

void kovrun_find_system_inc(KovrunSession* s, int argc, char** argv) {
    // Without -I and the environment's library path and switches, @INC holds
    // only the compiled-in directories when the setup code runs.
    bool added = getenv("PERL5LIB") || getenv("PERLLIB") || getenv("PERL5OPT");
    for (int i = 1; i < argc && !added; i++) added = argv[i] && argv[i][0] == '-' && strchr(argv[i], 'I');
    if (!added) return;

    void* old = kv_get_context();
    KvInterp* probe = api.perl_alloc();
    if (!probe) return;
    kv_note_interpreter_created();
    api.Perl_set_context(probe);
    api.perl_construct(probe);
    *api.Perl_Iperl_destruct_level_ptr(probe) = 1;
    char* args[] = {const_cast<char*>(argc > 0 && argv[0] ? argv[0] : "perl"), const_cast<char*>("-T"),
                    const_cast<char*>("-e"), const_cast<char*>("BEGIN { $Kovar::_inc = join '', map { qq{$_\\0} } @INC }"),
                    nullptr};
    ProbeCall call{probe, args, 0};
    int rc = kv_protect(probe, do_probe_parse, &call);
    KvSV* inc = rc == 0 && call.rc == 0 ? api.Perl_get_sv(probe, "Kovar::_inc", 0) : nullptr;
    KvStrLen n = 0;
    const char* text = inc ? kv_sv_pv(probe, inc, &n) : nullptr;
    if (text && n > 0) {
        s->system_inc = static_cast<char*>(panic_alloc(n, "system_inc"));
        if (s->system_inc) {
            memcpy(s->system_inc, text, n);
            s->system_inc_length = n;
        }
    }
    api.perl_destruct(probe);
    api.perl_free(probe);
    kv_set_context(old);
}

int kovrun_console_run(int argc, char** argv, bool as_perl) {
    if (as_perl) {
        // As perl, the program leaves the environment as its caller set it:
        // PERL5LIB, PERL5OPT and the rest mean to it what they mean to perl.
        plat_lock_init();
        kovrun_initialized = true;
    } else if (env_kill() != 0) {
        return 1;
    }
    // Before the interpreter exists, so that the script's own %SIG handlers
    // replace these.
    kv_catch_exit_signals(false);
    KovrunSession* session = nullptr;
    int flags = KOVRUN_ONESHOT | (as_perl ? KOVRUN_AS_PERL | KOVRUN_NO_DEBUG : 0);
    int rc = kovrun_start(&session, nullptr, nullptr, argc, argv, nullptr, flags);
    // The script's handlers go with its interpreter: a signal that arrives
    // while it is taken down waits until ours are back, and then removes the
    // process directory before it ends the program.
    uint64_t blocked = plat_block_exit_signals();
    kovrun_free(session);
    kv_catch_exit_signals(true);
    plat_restore_exit_signals(blocked);
    cleanup_temp_dirs();
    fflush(stdout);
    return rc & 0xFF;
}
