// The Kovar host module. Every function here is an interpreter extension
// function: the interpreter may leave it with a long jump (a croak), so the
// bodies hold nothing that needs destroying.
#include "src/binding/kovar.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/platform.h"
#include "src/bfs/bfs.h"
#include "src/bfs/tempdir.h"
#include "src/binding/perlcall.h"
#include "src/launcher/as_perl.h"
#include "src/binding/runtime_load.h"
#include "src/launcher/diag.h"
#include "src/launcher/kovrun.h"

namespace {

// ---- session handles --------------------------------------------------------
// Handles are drawn from a per-process random base so that an arbitrary
// integer is very unlikely to name a session, and are checked against the
// table of live sessions.
constexpr int kMaxSessions = 64;
KovrunSession* g_sessions[kMaxSessions];
long long g_next_handle = 0;

long long next_handle() {
    if (g_next_handle == 0) {
        unsigned long long seed = static_cast<unsigned long long>(time(nullptr)) ^
                                  (static_cast<unsigned long long>(plat_pid()) << 20) ^
                                  reinterpret_cast<unsigned long long>(&g_next_handle);
        seed ^= seed >> 29;
        seed *= 0x9E3779B97F4A7C15ull;
        g_next_handle = static_cast<long long>((seed >> 16) & 0x3FFFFFFFFFFFull) | (1ll << 46);
    }
    return g_next_handle++;
}

constexpr const char* kFile = "kovrun";

// Room for the per-user data directory: its base, the suffix and "/Veltrix/".
constexpr size_t kDataDirMax = 4096 + 64;

KvSV* sv_undef(KvInterp* interp) { return api.Perl_Isv_undef_ptr(interp); }

void xs_return_string(KvInterp* interp, const KvXsFrame& f, const char* text) {
    kv_xs_reserve(interp, f, 1);
    kv_xs_set(interp, f, 0, text ? api.Perl_sv_2mortal(interp, api.Perl_newSVpv(interp, text, 0)) : sv_undef(interp));
    kv_xs_return(interp, f, 1);
}

// INC(name): the contents of a bound entry, or undef when there is none. An
// entry that is there but cannot be read is damage, not absence: it dies with
// the panic that names it, so that a damaged module is not reported missing.
void xs_INC(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    if (f.items != 1) api.Perl_croak_nocontext("Usage: lookup(name)");
    KvStrLen len = 0;
    const char* name = kv_sv_pv(interp, kv_xs_arg(interp, f, 0), &len);
    bfs_cursor c;
    KvSV* result = sv_undef(interp);
    if (name && bfs_lookup(s->archive, name, len, &c)) {
        bool read = false;
        if (bfs_entry_plausible(&c)) {
            uint32_t n = bfs_size(&c);
            KvSV* sv = api.Perl_sv_2mortal(interp, api.Perl_newSV(interp, n ? n : 1));
            plat_lock();
            read = bfs_read(&c, kv_sv_pvx(sv)) != nullptr;
            if (read) kv_sv_set_string_length(sv, n);
            plat_unlock();
            if (read) result = sv;
        }
        if (!read) api.Perl_croak_nocontext("Panic: Can't extract %s", name);
    }
    kv_xs_set(interp, f, 0, result);
    kv_xs_return(interp, f, 1);
}

const char* mortal_text(KvInterp* interp, KvSV* arg);

// DynaLoader.pm's own bootstrap looks for libraries on disk: when a script
// loads the file, its text up to __END__ is followed by this, which puts the
// setup code's bootstrap back once the file has run.
constexpr char kDynaLoaderTail[] = "\n;{ local $^W = 0; *DynaLoader::bootstrap = $Kovar::_bootstrap }\n1;\n";

// Whether the text has a line that begins with __DATA__.
bool has_data_line(const char* text, size_t n) {
    static const char marker[] = "__DATA__";
    const size_t m = sizeof marker - 1;
    for (const char* p = text; p && static_cast<size_t>(text + n - p) >= m;) {
        if (memcmp(p, marker, m) == 0) return true;
        p = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(text + n - p)));
        if (p) p++;
    }
    return false;
}

// Kovar::_module(ROOT, NAME): the source of the bound module NAME, as the
// hook in @INC hands it to the interpreter: a #line directive that names it
// ROOT.NAME (a double quote or a line break in NAME shown as '?'), then its
// text; and whether it has a __DATA__ section, which must be read through a
// real handle. Sets $INC{NAME} to that name. An empty list when nothing is
// bound under NAME; an entry that cannot be read dies, as with INC.
void xs_module(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    if (f.items != 2) api.Perl_croak_nocontext("Usage: _module(root, name)");
    const char* root = mortal_text(interp, kv_xs_arg(interp, f, 0));
    KvStrLen len = 0;
    const char* name = kv_sv_pv(interp, kv_xs_arg(interp, f, 1), &len);
    bfs_cursor c;
    if (!name || !bfs_lookup(s->archive, name, len, &c)) {
        kv_xs_return(interp, f, 0);
        return;
    }
    if (!bfs_entry_plausible(&c)) api.Perl_croak_nocontext("Panic: Can't extract %s", name);
    bool dynaloader = len == 13 && memcmp(name, "DynaLoader.pm", 13) == 0;
    size_t root_length = strlen(root);
    KvSV* shown = api.Perl_sv_2mortal(interp, api.Perl_newSV(interp, root_length + len + 1));
    char* p = kv_sv_pvx(shown);
    memcpy(p, root, root_length);
    for (KvStrLen i = 0; i < len; i++) p[root_length + i] = name[i] == '"' || name[i] == '\n' || name[i] == '\r' ? '?' : name[i];
    kv_sv_set_string_length(shown, root_length + len);

    uint32_t n = bfs_size(&c);
    size_t head = sizeof "#line 1 \"\"\n" - 1 + root_length + len;
    KvSV* src = api.Perl_sv_2mortal(interp, api.Perl_newSV(interp, head + n + sizeof kDynaLoaderTail));
    char* text = kv_sv_pvx(src);
    snprintf(text, head + 1, "#line 1 \"%s\"\n", p);
    plat_lock();
    bool read = bfs_read(&c, text + head) != nullptr;
    plat_unlock();
    if (!read) api.Perl_croak_nocontext("Panic: Can't extract %s", name);
    size_t length = head + n;
    if (dynaloader) {
        const char* end = static_cast<const char*>(memmem(text + head, n, "\n__END__", 8));
        if (end) length = static_cast<size_t>(end - text) + 1;
        memcpy(text + length, kDynaLoaderTail, sizeof kDynaLoaderTail - 1);
        length += sizeof kDynaLoaderTail - 1;
    }
    kv_sv_set_string_length(src, length);
    api.Perl_hv_store(interp, api.Perl_get_hv(interp, "INC", 1), name, static_cast<KvI32>(len),
                      api.Perl_newSVsv(interp, shown), 0);
    kv_xs_reserve(interp, f, 2);
    kv_xs_set(interp, f, 0, src);
    kv_xs_set(interp, f, 1, has_data_line(text + head, length - head) ? api.Perl_Isv_yes_ptr(interp) : api.Perl_Isv_no_ptr(interp));
    kv_xs_return(interp, f, 2);
}

void xs_exe(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    xs_return_string(interp, f, s->module_path);
}

// Reads exactly `length` bytes at `offset`; false on an error or when the
// file ends first (it shrank).
bool read_at(int fd, unsigned char* buffer, size_t length, off_t offset) {
    while (length > 0) {
        ssize_t n = pread(fd, buffer, length, offset);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buffer += n;
        length -= static_cast<size_t>(n);
        offset += n;
    }
    return true;
}

// The archive appended, with its trailer, to the end of a regular file, read
// into a malloc'd copy of *out_length bytes: whatever later happens to the
// file (it shrinks, it is rewritten) cannot reach an image that is current.
// Null for anything else. Nothing but a regular file is opened for reading:
// a named pipe would block, a device may act on being opened.
unsigned char* read_archive_file(const char* path, size_t* out_length) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    unsigned char* copy = nullptr;
    unsigned char trailer[BFS_TRAILER_SIZE];
    // Checked again on the open file: the name may have been replaced.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > static_cast<off_t>(BFS_TRAILER_SIZE)) {
        off_t end = st.st_size - static_cast<off_t>(BFS_TRAILER_SIZE);
        if (read_at(fd, trailer, sizeof trailer, end) && memcmp(trailer, BFS_MAGIC, 4) == 0 && bfs_u32(trailer + 4) == 1 &&
            bfs_u32(trailer + 8) < static_cast<uint64_t>(end)) {
            size_t length = bfs_u32(trailer + 8) + size_t{BFS_TRAILER_SIZE};
            copy = static_cast<unsigned char*>(malloc(length));
            if (copy && read_at(fd, copy, length, end - static_cast<off_t>(bfs_u32(trailer + 8)))) {
                *out_length = length;
            } else {
                free(copy);
                copy = nullptr;
            }
        }
    }
    close(fd);
    return copy;
}

// Kovar::bfs([IMAGE or PATH]): switches the archive that lookups read. An
// image or a file's archive becomes current as a private copy, so that
// neither the script changing its string nor the file changing later affects
// it; the session keeps only that copy and the home archive. Anything that
// is not an archive switches back home.
void xs_bfs(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    // From here on nothing calls into the interpreter until the copy is
    // handed to the session: no jump can leave it behind.
    unsigned char* copy = nullptr;
    size_t length = 0;
    if (f.items >= 1 && kv_sv_pok(kv_xs_arg(interp, f, 0))) {
        KvSV* arg = kv_xs_arg(interp, f, 0);
        KvStrLen len = kv_sv_cur(arg);
        const char* bytes = kv_sv_pvx(arg);
        BfsArchive probe = bfs_describe(reinterpret_cast<const unsigned char*>(bytes), len);
        if (bfs_valid(&probe)) {
            copy = static_cast<unsigned char*>(malloc(len));
            if (copy) {
                memcpy(copy, bytes, len);
                length = len;
            }
        } else if (memchr(bytes, 0, len) == nullptr) {
            int saved_errno = errno;
            copy = read_archive_file(bytes, &length);
            errno = saved_errno;
        }
    }
    BfsArchive image = bfs_describe(copy, length);
    if (copy && !bfs_valid(&image)) {
        free(copy);
        copy = nullptr;
    }
    // The previous image, if any, is no longer current.
    free(s->image_copy);
    s->image_copy = copy;
    s->image_archive = image;
    s->archive = copy ? &s->image_archive : s->home_archive;
    kv_xs_return(interp, f, 0);
}

void xs_get_temp_dir(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    int which = f.items >= 1 ? static_cast<int>(kv_sv_iv(interp, kv_xs_arg(interp, f, 0)) != 0) : 0;
    int saved_errno = errno;
    const char* dir = make_temp_dir(s, which);
    errno = saved_errno;
    if (!dir) api.Perl_croak_nocontext("Can't find temp directory");
    xs_return_string(interp, f, dir);
}

// Kovar::no_linestr(): drops the saved source text of the second innermost
// eval frame.
void xs_no_linestr(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    if (f.items != 0) api.Perl_croak_nocontext("Usage: no_linestr()");
    char* si = reinterpret_cast<char*>(*api.Perl_Tcurstackinfo_ptr(interp));
    char* cxstack;
    int32_t cxix;
    memcpy(&cxstack, si + KV_SI_CXSTACK, sizeof cxstack);
    memcpy(&cxix, si + KV_SI_CXIX, sizeof cxix);
    int evals = 0;
    for (int32_t i = cxix; i >= 0; i--) {
        char* cx = cxstack + static_cast<size_t>(i) * KV_CONTEXT_SIZE;
        unsigned char type = static_cast<unsigned char>(cx[KV_CX_TYPE]);
        if ((type & KV_CXTYPEMASK) != KV_CXt_EVAL) continue;
        if (++evals == 2) {
            KvSV* no = api.Perl_Isv_no_ptr(interp);
            memcpy(cx + KV_CX_EVAL_CUR_TEXT, &no, sizeof no);
            kv_xs_return(interp, f, 0);
            return;
        }
    }
    api.Perl_croak_nocontext("no_linestr: unexpected scope stack entries");
}

void xs_init(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    if (f.items == 1) {
        KvIV handle = kv_sv_iv(interp, kv_xs_arg(interp, f, 0));
        api.Perl_sv_setiv(interp, api.Perl_get_sv(interp, "Kovar::_kovrun", 1), handle);
    }
    KovrunSession* s = session_of(interp);
    if (const KovrunVersion* v = s->version_record) {
        KvHV* hv = api.Perl_get_hv(interp, "Kovar::version", 1);
        api.Perl_hv_store(interp, hv, "major", 5, api.Perl_newSViv(interp, v->major), 0);
        api.Perl_hv_store(interp, hv, "minor", 5, api.Perl_newSViv(interp, v->minor), 0);
        api.Perl_hv_store(interp, hv, "release", 7, api.Perl_newSViv(interp, v->release), 0);
        api.Perl_hv_store(interp, hv, "build", 5, api.Perl_newSViv(interp, v->build), 0);
        api.Perl_hv_store(interp, hv, "suffix", 6, api.Perl_newSVpv(interp, v->suffix, 0), 0);
        api.Perl_hv_store(interp, hv, "checkin", 7, api.Perl_newSViv(interp, v->checkin), 0);
        api.Perl_hv_store(interp, hv, "url", 3, api.Perl_newSVpv(interp, v->url, 0), 0);
        api.Perl_hv_store(interp, hv, "copyright", 9, api.Perl_newSVpv(interp, v->copyright, 0), 0);
    }
    char* path = nullptr;
    char* error = nullptr;
    size_t length = 0;
    // Looking for the directory must not leave its errno in the script's $!.
    int saved_errno = errno;
    bool found = user_data_dir(&path, &length, &error);
    errno = saved_errno;
    // The store dies on a read-only variable: the path is taken over into a
    // buffer of this frame and freed before it.
    char dir[kDataDirMax];
    found = found && length < sizeof dir;
    if (found) memcpy(dir, path, length + 1);
    free(path);
    free(error);
    if (found) api.Perl_sv_setpv(interp, api.Perl_get_sv(interp, "Kovar::APPDATA", 1), dir);
    // Helper interpreters that the script starts through $^X start this
    // program as perl.
    if (const char* link = kovrun_perl_link(s)) api.Perl_sv_setpv(interp, api.Perl_get_sv(interp, "\030", 1), link);
    kv_xs_return(interp, f, 0);
}

// Kovar::_as_perl(): nothing when the program runs its own script. Started as
// perl, 1, followed by the interpreter's compiled-in module directories when
// the caller may have put directories of its own (-I, PERL5LIB, PERL5OPT) in
// front of them in @INC.
void xs_as_perl(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    if (!s->as_perl) {
        kv_xs_return(interp, f, 0);
        return;
    }
    int count = 1;
    for (size_t i = 0; i < s->system_inc_length; i++) count += s->system_inc[i] == 0;
    kv_xs_reserve(interp, f, count);
    kv_xs_set(interp, f, 0, api.Perl_sv_2mortal(interp, api.Perl_newSViv(interp, 1)));
    const char* dir = s->system_inc;
    for (int i = 1; i < count; i++) {
        size_t n = strlen(dir);
        kv_xs_set(interp, f, i, api.Perl_sv_2mortal(interp, api.Perl_newSVpv(interp, dir, n)));
        dir += n + 1;
    }
    kv_xs_return(interp, f, count);
}

// The text of an argument as a mortal copy. Turning a later argument into a
// string can run script code (overloading, tie) that changes or frees an
// earlier one, so each text is copied as soon as it is taken; being mortal,
// the copies are freed with the caller's temporaries, after a croak too.
const char* mortal_text(KvInterp* interp, KvSV* arg) {
    KvStrLen n = 0;
    const char* p = kv_sv_pv(interp, arg, &n);
    if (!p) p = "";
    KvSV* copy = api.Perl_sv_2mortal(interp, api.Perl_newSVpv(interp, n ? p : "", n));
    return kv_sv_pvx(copy);
}

// Kovar::_check(FILE, SCRIPT, CHECK): compiles CHECK in a nested session.
void xs_check(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    if (f.items != 3) api.Perl_croak_nocontext("Usage: _check(FILE, SCRIPT, CHECK)");
    const char* script = mortal_text(interp, kv_xs_arg(interp, f, 1));
    const char* check = mortal_text(interp, kv_xs_arg(interp, f, 2));
    const char* file = mortal_text(interp, kv_xs_arg(interp, f, 0));
    char* args[2] = {const_cast<char*>(script), nullptr};
    KovrunSession* slot = s;
    int rc = kovrun_start(&slot, file, check, 1, args, nullptr, KOVRUN_ONESHOT);
    if (slot != s) kovrun_free(slot);
    // The nested start restored this interpreter as the current one; the
    // stack may have moved, so the result is placed afresh.
    kv_xs_reserve(interp, f, 1);
    kv_xs_set(interp, f, 0, api.Perl_sv_2mortal(interp, api.Perl_newSViv(interp, rc)));
    kv_xs_return(interp, f, 1);
}

void xs_dl_reg(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    if (f.items != 1) api.Perl_croak_nocontext("Usage: dl_reg(handle)");
    KvIV h = kv_sv_iv(interp, kv_xs_arg(interp, f, 0));
    void* handle = reinterpret_cast<void*>(static_cast<intptr_t>(h));
    // Only a library that is really loaded is kept: it is closed at shutdown.
    if (s->dl_count < KV_DL_MAX && plat_dl_is_handle(handle)) s->dl_handles[s->dl_count++] = handle;
    kv_xs_return(interp, f, 0);
}

// A fresh mortal value with room for n bytes of string.
KvSV* mortal_buffer(KvInterp* interp, size_t n) {
    return api.Perl_sv_2mortal(interp, api.Perl_newSV(interp, n + 1));
}

// Kovar::_library(MODULE, AT, AGAIN, DIRS...): the extension library of
// MODULE, as DynaLoader names it (auto/Foo/Bar/Bar.so for Foo::Bar), written
// where the program's extension libraries go (see bound_library), or else
// found in one of DIRS (the system's directories, for a program that may use
// them). Returns its path and the name of its boot function. AGAIN writes a
// bound library even when it is there. Dies with the message, followed by AT
// (" at FILE line N.\n", the caller's place), when there is none or it
// cannot be written.
void xs_library(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    if (f.items < 3) api.Perl_croak_nocontext("Usage: _library(module, at, again, dirs...)");
    // Each text is copied as soon as it is taken: turning a later argument
    // into a text or a truth can run script code.
    bool again = kv_sv_true(interp, kv_xs_arg(interp, f, 2));
    const char* module = mortal_text(interp, kv_xs_arg(interp, f, 0));
    const char* at = mortal_text(interp, kv_xs_arg(interp, f, 1));
    int dir_count = f.items - 3;
    const char** dirs = dir_count > 0 ? static_cast<const char**>(static_cast<void*>(
                                            kv_sv_pvx(mortal_buffer(interp, dir_count * sizeof(char*)))))
                                      : nullptr;
    for (int i = 0; i < dir_count; i++) dirs[i] = mortal_text(interp, kv_xs_arg(interp, f, 3 + i));

    // "Foo::Bar" -> "auto/Foo/Bar/Bar.so" and "boot_Foo__Bar"; trailing
    // separators count for nothing, as with split.
    size_t n = strlen(module);
    while (n >= 2 && module[n - 2] == ':' && module[n - 1] == ':') n -= 2;
    if (n == 0) api.Perl_croak_nocontext("Usage: XSLoader::load(module)%s", at);
    KvSV* entry_sv = mortal_buffer(interp, 2 * n + 16);
    KvSV* boot_sv = mortal_buffer(interp, n + 8);
    char* entry = kv_sv_pvx(entry_sv);
    char* boot = kv_sv_pvx(boot_sv);
    size_t e = 0, last = 0;
    memcpy(entry, "auto/", 5);
    e = 5;
    for (size_t i = 0; i < n; i++) {
        if (module[i] == ':' && i + 1 < n && module[i + 1] == ':') {
            entry[e++] = '/';
            last = ++i + 1;
        } else {
            entry[e++] = module[i];
        }
    }
    entry[e++] = '/';
    memcpy(entry + e, module + last, n - last);
    e += n - last;
    memcpy(entry + e, ".so", 4);
    e += 3;
    memcpy(boot, "boot_", 5);
    for (size_t i = 0; i < n; i++) {
        char c = module[i];
        boot[5 + i] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ? c : '_';
    }
    boot[5 + n] = 0;
    kv_sv_set_string_length(entry_sv, e);
    kv_sv_set_string_length(boot_sv, n + 5);

    char why[DIAG_BUFFER_SIZE];
    bool bound = false;
    int saved_errno = errno;
    char* path = bound_library(s, entry, e, again, &bound, why, sizeof why);
    for (int i = 0; !bound && i < dir_count; i++) {
        struct stat st;
        size_t length = strlen(dirs[i]) + e + 2;
        path = static_cast<char*>(malloc(length));
        if (path) snprintf(path, length, "%s/%s", dirs[i], entry);
        if (path && stat(path, &st) == 0 && S_ISREG(st.st_mode)) break;
        free(path);
        path = nullptr;
    }
    errno = saved_errno;
    // Taken over by a mortal value and freed before anything can croak.
    KvSV* result = path ? api.Perl_sv_2mortal(interp, api.Perl_newSVpv(interp, path, 0)) : nullptr;
    free(path);
    if (!result && bound) api.Perl_croak_nocontext("Can't load module %s: %s%s", module, why, at);
    if (!result)
        api.Perl_croak_nocontext("Can't locate loadable object for module %s in the bound archive (no entry %s)%s", module,
                                 entry, at);
    kv_xs_reserve(interp, f, 2);
    kv_xs_set(interp, f, 0, result);
    kv_xs_set(interp, f, 1, boot_sv);
    kv_xs_return(interp, f, 2);
}

// Kovar::_data_dir(): the directory of the bound data files, or undef.
void xs_data_dir(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KovrunSession* s = session_of(interp);
    xs_return_string(interp, f, s->data_dir);
}

bool is_directory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

char* error_text(const char* format, const char* path) {
    char* e = static_cast<char*>(malloc(2048));
    if (e) snprintf(e, 2048, format, path);
    return e;
}

}  // namespace

bool session_register(KovrunSession* s) {
    plat_lock();
    bool ok = false;
    for (int i = 0; i < kMaxSessions && !ok; i++) {
        if (!g_sessions[i]) {
            g_sessions[i] = s;
            s->handle = next_handle();
            ok = true;
        }
    }
    plat_unlock();
    return ok;
}

void session_unregister(KovrunSession* s) {
    plat_lock();
    for (auto& slot : g_sessions)
        if (slot == s) slot = nullptr;
    plat_unlock();
}

KovrunSession* session_find(long long handle) {
    KovrunSession* found = nullptr;
    plat_lock();
    for (KovrunSession* s : g_sessions)
        if (s && s->handle == handle) found = s;
    plat_unlock();
    return found;
}

KovrunSession* session_of(KvInterp* interp) {
    KvSV* sv = api.Perl_get_sv(interp, "Kovar::_kovrun", 0);
    KovrunSession* s = nullptr;
    if (sv && kv_sv_iok(sv)) s = session_find(kv_sv_ivx(sv));
    if (!s || s->interp != interp) api.Perl_croak_nocontext("Panic: _kovrun not defined");
    return s;
}

void host_xs_init(KvInterp* interp) {
    api.Perl_newXS(interp, "INC", xs_INC, kFile);
    api.Perl_newXS(interp, "Kovar::exe", xs_exe, kFile);
    api.Perl_newXS(interp, "Kovar::bfs", xs_bfs, kFile);
    api.Perl_newXS(interp, "Kovar::get_temp_dir", xs_get_temp_dir, kFile);
    api.Perl_newXS(interp, "Kovar::no_linestr", xs_no_linestr, kFile);
    api.Perl_newXS(interp, "Kovar::_init", xs_init, kFile);
    api.Perl_newXS(interp, "Kovar::_check", xs_check, kFile);
    api.Perl_newXS(interp, "Kovar::dl_reg", xs_dl_reg, kFile);
    api.Perl_newXS(interp, "Kovar::_as_perl", xs_as_perl, kFile);
    api.Perl_newXS(interp, "Kovar::_library", xs_library, kFile);
    api.Perl_newXS(interp, "Kovar::_module", xs_module, kFile);
    api.Perl_newXS(interp, "Kovar::_data_dir", xs_data_dir, kFile);
    api.Perl_newXS(interp, "DynaLoader::boot_DynaLoader", api.boot_DynaLoader, kFile);
}

bool user_data_dir(char** out_path, size_t* out_length, char** out_error) {
    *out_path = nullptr;
    *out_error = nullptr;
    char base[4096];
    const char* suffix = "";
    const char* v;
    if ((v = getenv("VELTRIX_HOME")) && *v) {
        snprintf(base, sizeof base, "%s", v);
    } else if ((v = getenv("XDG_DATA_HOME")) && *v) {
        snprintf(base, sizeof base, "%s", v);
    } else if ((v = getenv("HOME")) && *v) {
        snprintf(base, sizeof base, "%s", v);
        suffix = "/.local/share";
    } else {
        *out_error = strdup("Couldn't find HOME / USERPROFILE / HOMEDRIVE&HOMEPATH / windir");
        return false;
    }
    char path[kDataDirMax];
    snprintf(path, sizeof path, "%s%s", base, suffix);
    size_t n = strlen(path);
    if (n > 1 && path[n - 1] == '/') path[--n] = 0;
    struct stat st;
    if (stat(path, &st) != 0) {
        *out_error = error_text("Path '%s' does not exist.", path);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        *out_error = error_text("'%s' is not a directory.", path);
        return false;
    }
    if (path[n - 1] != '/') path[n++] = '/';
    snprintf(path + n, sizeof path - n, "Veltrix");
    if (!is_directory(path)) {
        *out_error = error_text("Directory '%s' does not exist.", path);
        return false;
    }
    n = strlen(path);
    path[n++] = '/';
    path[n] = 0;
    *out_path = strdup(path);
    *out_length = n;
    return *out_path != nullptr;
}
