// Nimbrel::MessageBox and Nimbrel::Execute: the modal box that the tray
// owns, and handing a target to the desktop's default handler.
//
// The box runs its own event loop, so events call into the script while the
// script's own call of MessageBox still waits. The host knows the box it
// opened: while it is open a second MessageBox is refused, a popup request
// raises it instead, and a quit (asked for inside the box's loop, or the end
// of the window) closes it so that the waiting call can return.
//
// Both are extension functions: the interpreter may leave them with a long
// jump while it converts their arguments, so they hold nothing with a
// destructor, and their texts are copied to plain memory before the backend
// runs its loop. Nothing leaves the backend's frame with a long jump: every
// event of the loop runs under a jump frame of its own.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/platform.h"
#include "src/binding/api.h"
#include "src/binding/perlcall.h"
#include "tray/tray_state.h"

namespace {

constexpr const char* kFile = "Nimbrel";
constexpr const char* kDefaultCaption = "Nimbrel";

// Set while the box that MessageBox opened is open.
int g_box_open = 0;

// A script string as its bytes, before it is copied.
struct ScriptText {
    const char* bytes;
    size_t length;
    bool utf8;
};

// The string value of sv (which may run script code, and die).
ScriptText script_text(KvInterp* interp, KvSV* sv) {
    KvStrLen length = 0;
    const char* bytes = kv_sv_pv(interp, sv, &length);
    return {bytes ? bytes : "", bytes ? static_cast<size_t>(length) : 0, (kv_sv_flags(sv) & KV_SVf_UTF8) != 0};
}

// The text as UTF-8 in new memory (Latin-1 converted); null when memory is
// short. Runs no script code.
char* utf8_copy(const ScriptText& t) {
    // A malformed UTF-8 byte becomes U+FFFD, three bytes; a Latin-1 one two.
    size_t limit = 3 * t.length;
    char* out = static_cast<char*>(malloc(limit + 1));
    if (out) tray_text_to_field(out, limit, t.bytes, t.length, t.utf8);
    return out;
}

void return_undef(KvInterp* interp, const KvXsFrame& f) {
    kv_xs_reserve(interp, f, 1);
    kv_xs_set(interp, f, 0, api.Perl_Isv_undef_ptr(interp));
    kv_xs_return(interp, f, 1);
}

// Nimbrel::MessageBox(TEXT [, CAPTION [, STYLE]]): the pressed button's code,
// 0 when no box could be shown; undef without a text, while a box is open,
// or once the application is ending.
void xs_MessageBox(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    if (f.items < 1 || g_box_open || tray_state.quit_pending) {
        return_undef(interp, f);
        return;
    }
    // Every conversion (which may run script code, and die) before any memory
    // is taken; the script's values may change while the box is open.
    uint32_t style = f.items >= 3 ? static_cast<uint32_t>(kv_sv_iv(interp, kv_xs_arg(interp, f, 2))) : TRAY_MB_OK;
    ScriptText text_value = script_text(interp, kv_xs_arg(interp, f, 0));
    ScriptText caption_value = {kDefaultCaption, strlen(kDefaultCaption), false};
    if (f.items >= 2) caption_value = script_text(interp, kv_xs_arg(interp, f, 1));
    char* text = utf8_copy(text_value);
    char* caption = utf8_copy(caption_value);
    style = tray_box_style(style, tray_state.backend->box_style_version());
    int result = 0;
    if (text && caption && tray_state.window_open) {
        // The box counts as an open call: the script code that opened it goes
        // on when it returns, so a quit asked for meanwhile waits for it.
        g_box_open = 1;
        tray_state.depth++;
        result = tray_state.backend->message_box(text, caption, style);
        tray_state.depth--;
    }
    // Cleared on every return, also when the box never appeared.
    g_box_open = 0;
    free(text);
    free(caption);
    KvIV code = tray_box_result(result);
    kv_xs_reserve(interp, f, 1);
    kv_xs_set(interp, f, 0, api.Perl_sv_2mortal(interp, api.Perl_newSViv(interp, code)));
    kv_xs_return(interp, f, 1);
}

// Nimbrel::Execute(TARGET): the desktop opens the target; a failure goes to
// the debugger output only.
void xs_Execute(KvInterp* interp, KvCV*) {
    KvXsFrame f = kv_xs_begin(interp);
    if (f.items >= 1) {
        char* target = utf8_copy(script_text(interp, kv_xs_arg(interp, f, 0)));
        char error[512] = "";
        if (target && !tray_state.backend->execute(target, error, sizeof error)) {
            size_t size = strlen(target) + strlen(error) + 64;
            char* line = static_cast<char*>(malloc(size));
            if (line) {
                snprintf(line, size, "Nimbrel::Execute: can't open %s: %s\n", target,
                         error[0] ? error : "the desktop refused it");
                plat_debug_output(line);
                free(line);
            }
        }
        free(target);
    }
    kv_xs_return(interp, f, 0);
}

}  // namespace

uint32_t tray_box_style(uint32_t style, uint32_t version) {
    // An older box has no Cancel/Try Again/Continue: Abort/Retry/Ignore
    // stands in, and its answers map to the same codes.
    if ((style & TRAY_MB_TYPEMASK) == TRAY_MB_CANCELTRYCONTINUE && version < 5)
        style = (style & ~0xFFu) | (((style & 0xFFu) & 0xF2u) | TRAY_MB_ABORTRETRYIGNORE);
    return style;
}

int tray_box_result(int code) {
    switch (code) {
        case TRAY_IDABORT:
            return TRAY_IDCANCEL;
        case TRAY_IDRETRY:
            return TRAY_IDTRYAGAIN;
        case TRAY_IDIGNORE:
            return TRAY_IDCONTINUE;
        default:
            return code;
    }
}

bool tray_box_open() { return g_box_open != 0; }

void tray_raise_box() {
    if (g_box_open && tray_state.window_open) tray_state.backend->raise_box();
}

void tray_close_box() {
    if (g_box_open) tray_state.backend->close_box();
}

void tray_box_xs_init(KvInterp* interp) {
    api.Perl_newXS(interp, "Nimbrel::Execute", xs_Execute, kFile);
    api.Perl_newXS(interp, "Nimbrel::MessageBox", xs_MessageBox, kFile);
}
