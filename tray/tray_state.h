// The tray host's process-wide record and the routines that its parts share:
// the entry and quit sequence (tray_main.cpp), the window procedure and the
// calls into the script (tray_events.cpp), the script-callable functions
// (tray_functions.cpp), the termination signals (tray_signals.cpp) and the
// text conversions (tray_text.cpp).
//
// Everything here runs on the main thread. Nothing holds an object with a
// destructor: the interpreter leaves extension functions and protected calls
// with long jumps.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "platform/tray.h"
#include "src/bfs/bfs.h"
#include "src/launcher/session.h"

constexpr uint32_t TRAY_ICON_ID = 100;
constexpr uint32_t TRAY_CLICK_TIMER = 10;
// The fields applied when the icon is added, re-added or deleted.
constexpr uint32_t TRAY_NIF_SHOW = TRAY_NIF_MESSAGE | TRAY_NIF_ICON | TRAY_NIF_TIP;
constexpr const char* TRAY_DEFAULT_TIP = "Nimbrel";

// Icon entries of the archive: the default icon (resource 1) and icons
// bound by name ("*ICON:NAME"; a number N is bound and asked for as "#N").
constexpr const char* TRAY_ICON_ENTRY = "*ICON";
constexpr const char* TRAY_ICON_ENTRY_PREFIX = "*ICON:";
// The script's handle of the default icon.
constexpr int32_t TRAY_DEFAULT_ICON_HANDLE = 1;

struct TrayState {
    const TrayBackend* backend;
    uint32_t shell_version;           // major version; 4 when unknown
    uint32_t taskbar_created_message;
    uint32_t tip_limit;               // tip characters ever stored: 63 or 127
    // The one icon record, kept in storage of the largest record size.
    union {
        TrayIconRecord record;
        unsigned char bytes[TRAY_ICON_RECORD_SIZE];
    } icon;
    int32_t icon_handle;  // the script's handle of the icon shown
    KovrunSession* session;  // set once the main program has run; null again from the quit sequence on
    int click_pending;
    // Host calls into the interpreter that are open now (events, tool tip,
    // popup, and an open message box, whose caller goes on when it closes):
    // a quit asked for inside a nested one waits until all returned.
    int depth;
    int quit_pending;
    int pending_status;
    int quitting;     // the quit sequence has begun: nothing more reaches the script
    int window_open;  // messages reach the procedure only while set
    int exit_status;  // the status the application ends with
    int pid;          // the process that owns the tray (a forked child does not)
    volatile int forked;  // set in every child forked since the tray started: only then is pid worth asking for
    int signal_pipe[2];
};
static_assert(sizeof(TrayIconRecord) <= TRAY_ICON_RECORD_SIZE, "the icon record fits its storage");

extern TrayState tray_state;

inline TrayIconRecord* tray_record() { return &tray_state.icon.record; }

// ---- entry and quit sequence (tray_main.cpp) -------------------------------------
// Runs the tray application on a backend: start-up, the script's main
// program, the event loop and the quit sequence. Returns the process status.
int tray_main(const TrayBackend* backend, int argc, char** argv);

// Record size and tip length for a shell major version.
uint32_t tray_record_size(uint32_t shell_version);
uint32_t tray_tip_limit(uint32_t shell_version);

// Applies `flags` of the record with the given action; the result is ignored.
void tray_notify(uint32_t action, uint32_t flags);

// The quit sequence with the application's status: END blocks (which may
// change the status through $?), session shutdown, removal of the extraction
// directories, icon deletion, window destruction. Runs once; later requests
// are ignored. In a forked child it ends the child instead.
void QuitApplication(int status);

// Asks for the quit: at once when no call into the interpreter is open, else
// when the outermost one has returned. Ignored once a quit is on its way.
void tray_request_quit(int status);

// The quit sequence, then the end of the process without returning: for an
// interpreter that an exit unwound beneath outer calls that are still on the
// call stack.
[[noreturn]] void tray_quit_at_once(int status);

// ---- termination signals (tray_signals.cpp) -----------------------------------------
// Turns SIGTERM, SIGINT and SIGHUP into TRAY_MSG_FD_READY through a pipe
// that the backend watches; and back to their default action.
void tray_start_signal_watch();
void tray_stop_signal_watch();
// The signal pipe is readable: reads it empty and asks for the quit with
// the first signal's conventional status (128 + its number).
void tray_signal_ready(int fd);

// ---- window procedure and event calls (tray_events.cpp) ---------------------------
intptr_t TrayWindowProc(uint32_t message, uintptr_t wparam, intptr_t lparam);
intptr_t OnTrayNotify(uintptr_t wparam, intptr_t lparam);
// Calls a script sub with up to three text arguments (null ends the list),
// G_EVAL and G_DISCARD. 1 on success; 0 when it failed, died, or exited (the
// exit quits the application) and when there is no session.
int CallScriptEvent(const char* name, const char* first, const char* second, const char* third);
// Runs fn(arg) as an event's call into the script: in the session's
// interpreter, inside a jump frame of its own, counted as an open call; an
// exit quits the application as an event sub's exit does. -1 when nothing
// may reach the script (no session, a quit under way), 0 when fn returned,
// else the interpreter's jump code.
int tray_event_call(void (*fn)(void*), void* arg);
void RefreshToolTip();
void ShowPopupMenu();
// The desktop wants the items of the icon's exported menu (why:
// TRAY_OPENING_*): the script's menu as ShowPopupMenu would show it, handed
// to set_icon_menu; an empty menu when there is none to show or a quit has
// begun. While the box is open, a menu about to show raises the box instead
// and stays empty, and a refresh changes nothing.
void FillIconMenu(uintptr_t why);
// True while a host call into the interpreter is open.
inline bool tray_in_event() { return tray_state.depth > 0; }

// ---- script-callable functions (tray_functions.cpp) --------------------------------
// The extension initialiser: the host module, the Nimbrel functions and the
// exit guard.
void tray_xs_init(KvInterp* interp);
// Fills the icon table's default entry from the archive's "*ICON" entry, or
// the backend's built-in icon. Returns the backend icon.
intptr_t tray_icons_init(const BfsArchive* archive);
// The backend icon of a script handle; the default icon for anything that
// is not a handle of the table.
intptr_t tray_icon_of(int64_t handle, int32_t* out_handle);

// ---- message box and Execute (tray_box.cpp) ---------------------------------------------
// Defines Nimbrel::Execute and Nimbrel::MessageBox.
void tray_box_xs_init(KvInterp* interp);
// The style the box is asked for with on a backend of that style version:
// below 5, Cancel/Try Again/Continue becomes Abort/Retry/Ignore.
uint32_t tray_box_style(uint32_t style, uint32_t version);
// The code the script gets for a pressed button: Abort, Retry and Ignore
// read as Cancel, Try Again and Continue.
int tray_box_result(int code);
// True while the box that Nimbrel::MessageBox opened is open.
bool tray_box_open();
// Brings the open box to the front; closes it (its call returns Cancel).
// Nothing when no box is open.
void tray_raise_box();
void tray_close_box();

// ---- texts (tray_text.cpp) -------------------------------------------------------------
// Copies a script string into a record field of limit + 1 bytes as UTF-8:
// from UTF-8 when `utf8` is set, else from Latin-1; at most `limit` bytes of
// whole characters, the rest of the field up to index limit filled with NULs.
// Returns the bytes stored.
size_t tray_text_to_field(char* field, size_t limit, const char* text, size_t length, bool utf8);
// UTF-16 code units of a script string (UTF-8 when `utf8`, else Latin-1;
// malformed UTF-8 gives U+FFFD for each bad byte). Writes them little-endian
// (two bytes each) when `out` is not null and returns their number.
size_t tray_text_to_utf16(const char* text, size_t length, bool utf8, unsigned char* out);
