// The Nimbrel functions that the script calls: debugger output, the balloon,
// icons, timers and wide strings; the icon table; and the exit guard. The
// message box and Execute are in tray_box.cpp.
//
// Every function here is an interpreter extension function: the interpreter
// may leave it with a long jump (a string conversion can run script code
// that dies), so the bodies hold nothing that needs destroying. Arguments
// beyond those given read as undef; none is checked further.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "src/binding/api.h"
#include "src/binding/kovar.h"
#include "src/binding/perlcall.h"
#include "src/launcher/kovrun.h"
#include "tray/tray_download.h"
#include "tray/tray_state.h"

namespace {

constexpr const char* kFile = "Nimbrel";

// ---- the icon table -------------------------------------------------------------------
// Script handles are small integers: index + 1 into this table. Entry 0 is
// the default icon (handle 1); each bound icon is loaded once, on its first
// request, and kept for the life of the process.
constexpr int kMaxIcons = 256;
struct IconSlot {
    char* entry;  // archive entry name (null for the default icon)
    size_t entry_length;
    intptr_t icon;  // the backend's icon
};
IconSlot g_icons[kMaxIcons];
int g_icon_count = 0;
const BfsArchive* g_icon_archive = nullptr;

// The backend's icon for the entry's image bytes, or 0.
intptr_t load_entry_icon(const char* entry, size_t entry_length) {
    if (!g_icon_archive) return 0;
    bfs_cursor c;
    if (!bfs_lookup(g_icon_archive, entry, entry_length, &c) || !bfs_entry_plausible(&c)) return 0;
    uint32_t n = bfs_size(&c);
    if (n == 0) return 0;
    void* bytes = malloc(n);
    if (!bytes) return 0;
    plat_lock();
    bool read = bfs_read(&c, bytes) != nullptr;
    plat_unlock();
    intptr_t icon = read ? tray_state.backend->load_icon(bytes, n) : 0;
    free(bytes);
    return icon;
}

// "#N" (decimal digits): the icon numbered N; 0 for anything else.
long icon_number(const char* name, size_t length) {
    if (length < 2 || length > 10 || name[0] != '#') return 0;
    long n = 0;
    for (size_t i = 1; i < length; i++) {
        if (name[i] < '0' || name[i] > '9') return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// The handle of a bound icon: "#1" is the default icon; "#N" the entry
// "*ICON:#N" (N without leading zeros); any other name the entry "*ICON:NAME".
// 0 when the archive binds no such icon or its bytes are no image.
int32_t load_icon_named(const char* name, size_t length) {
    long number = icon_number(name, length);
    if (number == 1) return TRAY_DEFAULT_ICON_HANDLE;
    char digits[24];
    if (number > 1) {
        snprintf(digits, sizeof digits, "#%ld", number);
        name = digits;
        length = strlen(digits);
    }
    size_t prefix = strlen(TRAY_ICON_ENTRY_PREFIX);
    size_t entry_length = prefix + length;
    char* entry = static_cast<char*>(malloc(entry_length + 1));
    if (!entry) return 0;
    memcpy(entry, TRAY_ICON_ENTRY_PREFIX, prefix);
    memcpy(entry + prefix, name, length);
    entry[entry_length] = 0;
    for (int i = 1; i < g_icon_count; i++) {
        if (g_icons[i].entry_length == entry_length && memcmp(g_icons[i].entry, entry, entry_length) == 0) {
            free(entry);
            return i + 1;
        }
    }
    intptr_t icon = g_icon_count < kMaxIcons ? load_entry_icon(entry, entry_length) : 0;
    if (!icon) {
        free(entry);
        return 0;
    }
    g_icons[g_icon_count] = {entry, entry_length, icon};
    return ++g_icon_count;
}

// ---- conversions -------------------------------------------------------------------------
KvSV* arg(KvInterp* interp, const KvXsFrame& f, int i) { return i < f.items ? kv_xs_arg(interp, f, i) : nullptr; }

KvIV int_value(KvInterp* interp, KvSV* sv) { return sv ? kv_sv_iv(interp, sv) : 0; }

void return_integer(KvInterp* interp, const KvXsFrame& f, KvIV value) {
    kv_xs_reserve(interp, f, 1);
    kv_xs_set(interp, f, 0, api.Perl_sv_2mortal(interp, api.Perl_newSViv(interp, value)));
    kv_xs_return(interp, f, 1);
}

// Copies the string value of sv into a record field of limit + 1 bytes.
void string_to_field(KvInterp* interp, KvSV* sv, char* field, size_t limit) {
    KvStrLen length = 0;
    const char* text = sv ? kv_sv_pv(interp, sv, &length) : nullptr;
    bool utf8 = sv && (kv_sv_flags(sv) & KV_SVf_UTF8);
    tray_text_to_field(field, limit, text, text ? length : 0, utf8);
}

// Timer intervals as the window system keeps them: from 10 ms (a zero
// interval would fire continuously) to 0x7FFFFFFF ms.
uint32_t timer_interval(KvIV ms) {
    if (ms < 10) return 10;
    if (ms > 0x7FFFFFFF) return 0x7FFFFFFF;
    return static_cast<uint32_t>(ms);
}

// ---- Nimbrel functions ------------------------------------------------------------------
// Nimbrel::debug(LIST): the arguments joined, to the debugger output.
void xs_debug(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    const char* text = nullptr;
    if (f.items == 1) {
        text = kv_sv_pv(interp, kv_xs_arg(interp, f, 0), nullptr);
    } else if (f.items > 1) {
        KvSV* all = api.Perl_sv_2mortal(interp, api.Perl_newSVsv(interp, kv_xs_arg(interp, f, 0)));
        for (int i = 1; i < f.items; i++) sv_catsv_compat(interp, all, kv_xs_arg(interp, f, i));
        text = kv_sv_pv(interp, all, nullptr);
    }
    if (text) plat_debug_output(text);
    kv_xs_return(interp, f, 0);
}

// Nimbrel::Balloon(TEXT [, TITLE [, KIND [, SECONDS]]]): a balloon on the icon.
void xs_Balloon(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    if (f.items >= 1 && tray_state.shell_version >= 5) {
        TrayIconRecord* r = tray_record();
        string_to_field(interp, kv_xs_arg(interp, f, 0), r->info, TRAY_INFO_SIZE - 1);
        // A title or kind only from a value that holds a string: a number
        // given as the title leaves it empty.
        KvSV* title = arg(interp, f, 1);
        string_to_field(interp, title && kv_sv_pok(title) ? title : nullptr, r->info_title, TRAY_INFO_TITLE_SIZE - 1);
        r->info_flags = TRAY_INFO_NONE;
        KvSV* kind = arg(interp, f, 2);
        if (kind && kv_sv_pok(kind) && kv_sv_cur(kind) > 0) {
            switch (kv_sv_pvx(kind)[0]) {
                case 'E':
                case 'e':
                    r->info_flags = TRAY_INFO_ERROR;
                    break;
                case 'I':
                case 'i':
                    r->info_flags = TRAY_INFO_INFO;
                    break;
                case 'W':
                case 'w':
                    r->info_flags = TRAY_INFO_WARNING;
                    break;
                default:
                    break;
            }
        }
        KvIV seconds = f.items >= 4 ? int_value(interp, kv_xs_arg(interp, f, 3)) : 10;
        r->info_timeout_ms = static_cast<uint32_t>(static_cast<uint64_t>(seconds) * 1000u);
        tray_notify(TRAY_ICON_MODIFY, TRAY_NIF_INFO);
    }
    kv_xs_return(interp, f, 0);
}

// Nimbrel::_WideChar(STRING): its UTF-16LE code units as a byte string.
void xs_WideChar(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KvSV* sv = arg(interp, f, 0);
    KvStrLen length = 0;
    const char* text = sv ? kv_sv_pv(interp, sv, &length) : nullptr;
    bool utf8 = sv && (kv_sv_flags(sv) & KV_SVf_UTF8);
    size_t units = text ? tray_text_to_utf16(text, length, utf8, nullptr) : 0;
    KvSV* out = api.Perl_newSV(interp, units ? 2 * units : 1);
    if (units) tray_text_to_utf16(text, length, utf8, reinterpret_cast<unsigned char*>(kv_sv_pvx(out)));
    kv_sv_set_string_length(out, 2 * units);
    kv_xs_reserve(interp, f, 1);
    kv_xs_set(interp, f, 0, api.Perl_sv_2mortal(interp, out));
    kv_xs_return(interp, f, 1);
}

// Nimbrel::_LoadIcon(NAME): the handle of a bound icon, 0 for none.
void xs_LoadIcon(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KvSV* sv = arg(interp, f, 0);
    KvStrLen length = 0;
    const char* name = sv ? kv_sv_pv(interp, sv, &length) : nullptr;
    return_integer(interp, f, name ? load_icon_named(name, length) : 0);
}

// Nimbrel::_SetIcon(HANDLE): shows the icon (the default icon for anything
// that is not a handle) and returns the handle shown before.
void xs_SetIcon(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KvIV handle = int_value(interp, arg(interp, f, 0));
    int32_t previous = tray_state.icon_handle;
    tray_record()->icon = tray_icon_of(handle, &tray_state.icon_handle);
    tray_notify(TRAY_ICON_MODIFY, TRAY_NIF_ICON);
    return_integer(interp, f, previous);
}

// Nimbrel::_SetTimer(ID, MILLISECONDS)
void xs_SetTimer(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    auto id = static_cast<uint32_t>(int_value(interp, arg(interp, f, 0)));
    uint32_t ms = timer_interval(int_value(interp, arg(interp, f, 1)));
    if (tray_state.window_open) tray_state.backend->set_timer(id, ms);
    kv_xs_return(interp, f, 0);
}

// Nimbrel::_KillTimer(ID)
void xs_KillTimer(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    auto id = static_cast<uint32_t>(int_value(interp, arg(interp, f, 0)));
    if (tray_state.window_open) tray_state.backend->kill_timer(id);
    kv_xs_return(interp, f, 0);
}

// exit(STATUS) for all code of the tray's interpreter. Perl's exit unwinds
// every context of the interpreter, also those of an outer event call that
// is still running (the script's sub that opened a message box whose modal
// loop delivered this event): it could never go on. So an exit inside a
// nested event call asks for the quit, which runs once the outermost call
// has returned, and ends only the nested sub, as a die would. Everywhere else
// it is Perl's own exit: also in the quit sequence's END blocks, which may
// run while outer calls are still open, and whose exit sets the status.
void xs_exit(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    KvIV status = int_value(interp, arg(interp, f, 0));
    bool ours = tray_state.session && kovrun_interp(tray_state.session) == interp;
    if (ours && tray_state.depth > 1 && !tray_state.quitting) {
        tray_request_quit(static_cast<int>(status));
        api.Perl_croak_nocontext("exit inside a nested event: the program ends when the outer event returns\n");
    }
    kv_xs_return(interp, f, 0);
    char text[24];
    snprintf(text, sizeof text, "%lld", static_cast<long long>(status));
    const char* args[] = {text};
    kv_push_args(interp, args, 1);
    kv_call_named(interp, "CORE::exit", KV_G_DISCARD);
}

}  // namespace

intptr_t tray_icons_init(const BfsArchive* archive) {
    g_icon_archive = archive;
    intptr_t icon = load_entry_icon(TRAY_ICON_ENTRY, strlen(TRAY_ICON_ENTRY));
    if (!icon) icon = tray_state.backend->default_icon();
    g_icons[0] = {nullptr, 0, icon};
    g_icon_count = 1;
    return icon;
}

intptr_t tray_icon_of(int64_t handle, int32_t* out_handle) {
    if (handle < 1 || handle > g_icon_count) handle = TRAY_DEFAULT_ICON_HANDLE;
    *out_handle = static_cast<int32_t>(handle);
    return g_icons[handle - 1].icon;
}

void tray_xs_init(KvInterp* interp) {
    host_xs_init(interp);
    api.Perl_newXS(interp, "Nimbrel::debug", xs_debug, kFile);
    api.Perl_newXS(interp, "Nimbrel::Balloon", xs_Balloon, kFile);
    tray_download_xs_init(interp);
    tray_box_xs_init(interp);
    api.Perl_newXS(interp, "Nimbrel::_WideChar", xs_WideChar, kFile);
    api.Perl_newXS(interp, "Nimbrel::_LoadIcon", xs_LoadIcon, kFile);
    api.Perl_newXS(interp, "Nimbrel::_SetIcon", xs_SetIcon, kFile);
    api.Perl_newXS(interp, "Nimbrel::_SetTimer", xs_SetTimer, kFile);
    api.Perl_newXS(interp, "Nimbrel::_KillTimer", xs_KillTimer, kFile);
    // The guard takes effect for all code compiled from here on: the setup
    // code, the modules and the script. Its prototype parses as exit's; the
    // compiler takes a global override only from a glob marked as imported,
    // as an assignment to *CORE::GLOBAL::exit from another package marks it.
    KvCV* guard = api.Perl_newXS(interp, "CORE::GLOBAL::exit", xs_exit, kFile);
    api.Perl_sv_setpv(interp, reinterpret_cast<KvSV*>(guard), ";$");
    KvGV* glob = api.Perl_gv_fetchpv(interp, "CORE::GLOBAL::exit", 0, KV_SVt_PVCV);
    if (glob) {
        char* body = kv_sv_any(reinterpret_cast<KvSV*>(glob));
        KvStrLen flags;
        memcpy(&flags, body + KV_XPVGV_FLAGS, sizeof flags);
        flags |= KV_GVf_IMPORTED_CV;
        memcpy(body + KV_XPVGV_FLAGS, &flags, sizeof flags);
    }
}
