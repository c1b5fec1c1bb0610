// The window procedure and the calls into the script that events make.
//
// Every call into the interpreter goes through one convention: switch to
// the session's interpreter, count the call as open, run it inside a jump
// frame of its own (kv_protect) with G_EVAL, restore. The functions that run
// inside a jump frame are plain and hold nothing with a destructor. An exit
// in an event quits the application with the exit's status once no call
// into the interpreter is open any more; an exit inside "ToolTip" or
// "Nimbrel::PopupMenu" is absorbed.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "src/binding/api.h"
#include "src/binding/perlcall.h"
#include "tray/tray_download.h"
#include "tray/tray_menu.h"
#include "tray/tray_state.h"

namespace {

// ---- the call convention ---------------------------------------------------------
struct CallFrame {
    KvInterp* interp;
    void* saved_context;
    KvSSize stack_offset;  // the stack pointer, from the stack's base
    KvI32 scope_index;
};

// False when nothing may reach the script: no session (before the main
// program has run, or after the quit sequence has begun) or a quit waiting
// for the outer calls.
bool begin_call(CallFrame* f) {
    if (!tray_state.session || tray_state.quitting || tray_state.quit_pending) return false;
    f->interp = kovrun_interp(tray_state.session);
    f->saved_context = kv_get_context();
    api.Perl_set_context(f->interp);
    f->stack_offset = *api.Perl_Tstack_sp_ptr(f->interp) - *api.Perl_Tstack_base_ptr(f->interp);
    f->scope_index = *api.Perl_Tscopestack_ix_ptr(f->interp);
    tray_state.depth++;
    return true;
}

// Runs fn inside the call's jump frame. Returns 0, or the jump code after an
// exit: the interpreter has then unwound every context and scope of its own,
// so its stack pointer and scope index are put back where the call found
// them, and the interpreter stays usable for the next event.
int protected_call(CallFrame* f, void (*fn)(void*), void* arg) {
    int jump = kv_protect(f->interp, fn, arg);
    if (jump != 0) {
        *api.Perl_Tstack_sp_ptr(f->interp) = *api.Perl_Tstack_base_ptr(f->interp) + f->stack_offset;
        *api.Perl_Tscopestack_ix_ptr(f->interp) = f->scope_index;
    }
    return jump;
}

void end_call(CallFrame* f) {
    kv_set_context(f->saved_context);
    tray_state.depth--;
}

// Once the outermost call has returned: a quit asked for meanwhile runs now;
// a forked child that returned from the script ends here instead of running
// a second copy of the tray.
void settle() {
    if (tray_state.depth > 0) return;
    if (tray_state.forked && getpid() != tray_state.pid)
        QuitApplication(tray_state.quit_pending ? tray_state.pending_status : 0);
    else if (tray_state.quit_pending)
        QuitApplication(tray_state.pending_status);
}

bool errsv_true(KvInterp* interp) { return kv_sv_true(interp, api.Perl_get_sv(interp, "@", 0)); }

// ---- event subs ------------------------------------------------------------------------
struct EventCall {
    KvInterp* interp;
    const char* name;
    const char* args[3];
    int count;
    int failed;
};

void do_event_call(void* p) {
    auto* c = static_cast<EventCall*>(p);
    kv_enter_scope(c->interp);
    kv_push_args(c->interp, c->args, c->count);
    kv_call_named(c->interp, c->name, KV_G_EVAL | KV_G_DISCARD);
    if (errsv_true(c->interp)) c->failed = 1;
    kv_leave_scope(c->interp);
}

// ---- scalar-context calls ----------------------------------------------------------------
// Calls the script's sub `name` with no arguments, G_EVAL in scalar context,
// inside the caller's scope (opened with kv_enter_scope): its one result, or
// null when the call left none.
KvSV* call_scalar(KvInterp* interp, const char* name) {
    kv_push_args(interp, nullptr, 0);
    KvI32 n = kv_call_named(interp, name, KV_G_EVAL | KV_G_SCALAR);
    return n > 0 ? kv_pop_result(interp) : nullptr;
}

// ---- tool tip --------------------------------------------------------------------------
struct TipCall {
    KvInterp* interp;
    int changed;
};

void do_tool_tip(void* p) {
    auto* c = static_cast<TipCall*>(p);
    kv_enter_scope(c->interp);
    KvSV* result = call_scalar(c->interp, "ToolTip");
    // Only a string value is a tip: undef (a failed call) or a number never
    // used as text leave it as it is.
    if (result && kv_sv_pok(result)) {
        TrayIconRecord* r = tray_record();
        size_t limit = tray_state.tip_limit;
        char text[TRAY_TIP_SIZE];
        tray_text_to_field(text, limit, kv_sv_pvx(result), kv_sv_cur(result), kv_sv_flags(result) & KV_SVf_UTF8);
        if (strncmp(text, r->tip, limit) != 0) {
            memcpy(r->tip, text, limit + 1);
            c->changed = 1;
        }
    }
    kv_leave_scope(c->interp);
}

// ---- popup menu ------------------------------------------------------------------------
struct MenuCall {
    KvInterp* interp;
    unsigned char* bytes;  // malloc'd copy of the result's string
    size_t length;
};

void do_popup_menu(void* p) {
    auto* c = static_cast<MenuCall*>(p);
    kv_enter_scope(c->interp);
    KvSV* result = call_scalar(c->interp, "Nimbrel::PopupMenu");
    KvStrLen length = 0;
    const char* text = result ? kv_sv_pv(c->interp, result, &length) : nullptr;
    if (text) {
        c->bytes = static_cast<unsigned char*>(malloc(length + 1));
        if (c->bytes) {
            memcpy(c->bytes, text, length);
            c->bytes[length] = 0;
            c->length = length;
        }
    }
    kv_leave_scope(c->interp);
}

// ---- clicks ----------------------------------------------------------------------------
// The desktop's double-click time, kept within the timers' smallest interval.
uint32_t double_click_interval() {
    uint32_t ms = tray_state.backend->double_click_time();
    return ms < 10 ? 10 : ms;
}

void on_click_timer() {
    tray_state.backend->kill_timer(TRAY_CLICK_TIMER);
    if (tray_state.click_pending && !CallScriptEvent("Click", nullptr, nullptr, nullptr)) ShowPopupMenu();
    tray_state.click_pending = 0;
}

}  // namespace

int tray_event_call(void (*fn)(void*), void* arg) {
    CallFrame frame;
    if (!begin_call(&frame)) return -1;
    int jump = protected_call(&frame, fn, arg);
    int status = jump != 0 ? *api.Perl_Istatusvalue_ptr(frame.interp) : 0;
    end_call(&frame);
    if (jump != 0) {
        // An exit that got past the exit guard (CORE::exit) unwound the
        // interpreter beneath the outer calls too: none of them can go on.
        if (tray_state.depth > 0) tray_quit_at_once(status);
        tray_request_quit(status);
    }
    settle();
    return jump;
}

int CallScriptEvent(const char* name, const char* first, const char* second, const char* third) {
    if (!tray_state.session) return 0;
    EventCall call = {kovrun_interp(tray_state.session), name, {first, second, third}, 0, 0};
    while (call.count < 3 && call.args[call.count]) call.count++;
    int jump = tray_event_call(do_event_call, &call);
    return jump == 0 && !call.failed ? 1 : 0;
}

void RefreshToolTip() {
    CallFrame frame;
    if (!begin_call(&frame)) return;
    TipCall call = {frame.interp, 0};
    int jump = protected_call(&frame, do_tool_tip, &call);
    end_call(&frame);
    if (call.changed) tray_notify(TRAY_ICON_MODIFY, TRAY_NIF_TIP);
    if (jump != 0 && tray_state.depth > 0) tray_quit_at_once(*api.Perl_Istatusvalue_ptr(frame.interp));
    settle();
}

namespace {

// Asks "Nimbrel::PopupMenu" for the template and loads it: null when the
// script gives none, a damaged one, or exits in it, and when a quit was asked
// for meanwhile. The menu is shown outside the call into the interpreter.
TrayMenu* script_menu() {
    CallFrame frame;
    if (!begin_call(&frame)) return nullptr;
    MenuCall call = {frame.interp, nullptr, 0};
    int jump = protected_call(&frame, do_popup_menu, &call);
    end_call(&frame);
    if (jump != 0 && tray_state.depth > 0) {
        free(call.bytes);
        tray_quit_at_once(*api.Perl_Istatusvalue_ptr(frame.interp));
    }
    bool load = jump == 0 && call.bytes && !tray_state.quitting && !tray_state.quit_pending;
    TrayMenu* menu = load ? tray_menu_load(call.bytes, call.length) : nullptr;
    free(call.bytes);
    return menu;
}

bool script_reachable() { return tray_state.session && !tray_state.quitting && !tray_state.quit_pending; }

}  // namespace

void ShowPopupMenu() {
    if (!script_reachable()) return;
    // While the box is open the menu waits: the box comes to the front instead.
    if (tray_box_open()) {
        tray_raise_box();
        return;
    }
    TrayMenu* menu = script_menu();
    // The menu's modal loop delivers events, and each makes its own call.
    // The choice is posted, so the command runs after the menu has closed.
    const TrayMenuItem* shown = tray_menu_shown(menu);
    if (shown && tray_state.window_open) {
        int id = tray_state.backend->popup_menu(shown);
        if (id != 0 && tray_state.window_open)
            tray_state.backend->post_message(TRAY_MSG_COMMAND, static_cast<uintptr_t>(id & 0xFFFF), 0);
    }
    tray_menu_free(menu);
    settle();
}

void FillIconMenu(uintptr_t why) {
    if (!tray_state.window_open) return;
    TrayMenu* menu = nullptr;
    if (!script_reachable()) {
        // Nothing more reaches the script: the menu empties.
    } else if (tray_box_open()) {
        // As a right click does: the box comes to the front and the menu
        // stays empty; a refresh nobody looks at leaves the items alone.
        if (why != TRAY_OPENING_SHOW) return;
        tray_raise_box();
    } else {
        menu = script_menu();
    }
    if (tray_state.window_open) tray_state.backend->set_icon_menu(tray_menu_shown(menu));
    tray_menu_free(menu);
    settle();
}

intptr_t OnTrayNotify(uintptr_t, intptr_t lparam) {
    switch (static_cast<uint32_t>(lparam)) {
        case TRAY_MOUSE_MOVE:
            RefreshToolTip();
            break;
        case TRAY_LBUTTON_DOWN:
            // A second press within the double-click time restarts the wait.
            tray_state.backend->set_timer(TRAY_CLICK_TIMER, double_click_interval());
            tray_state.click_pending = 1;
            break;
        case TRAY_LBUTTON_DBLCLK:
            tray_state.backend->kill_timer(TRAY_CLICK_TIMER);
            tray_state.click_pending = 0;
            CallScriptEvent("Nimbrel::DoubleClick", nullptr, nullptr, nullptr);
            break;
        case TRAY_RBUTTON_UP:
            ShowPopupMenu();
            break;
        default:
            break;
    }
    return 1;
}

intptr_t TrayWindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (!tray_state.window_open) return 0;
    if (message == tray_state.taskbar_created_message && message != 0) {
        // The icon comes back as the record holds it: the script's last icon and tip.
        tray_notify(TRAY_ICON_ADD, TRAY_NIF_SHOW);
        return 0;
    }
    char text[20];
    switch (message) {
        case TRAY_MSG_DESTROY:
            // The box belongs to the window: it goes first.
            tray_close_box();
            tray_state.window_open = 0;
            tray_state.backend->post_quit(tray_state.exit_status);
            return 0;
        case TRAY_MSG_COMMAND:
            snprintf(text, sizeof text, "%d", static_cast<int>(wparam & 0xFFFF));
            CallScriptEvent("Nimbrel::Command", text, nullptr, nullptr);
            return 0;
        case TRAY_MSG_TIMER:
            if (static_cast<uint32_t>(wparam) == TRAY_CLICK_TIMER) {
                on_click_timer();
            } else {
                // Identifiers are 32-bit; those above 2147483647 read as negative.
                snprintf(text, sizeof text, "%d", static_cast<int32_t>(static_cast<uint32_t>(wparam)));
                CallScriptEvent("Nimbrel::Timer", text, nullptr, nullptr);
            }
            return 0;
        case TRAY_MSG_ICON:
            return OnTrayNotify(wparam, lparam);
        case TRAY_MSG_DOWNLOAD_DONE:
            tray_download_done(wparam);
            return 0;
        case TRAY_MSG_MENU_OPENING:
            FillIconMenu(wparam);
            return 0;
        case TRAY_MSG_FD_READY:
            if (static_cast<int>(wparam) == tray_state.signal_pipe[0]) tray_signal_ready(tray_state.signal_pipe[0]);
            return 0;
        default:
            return 0;
    }
}
