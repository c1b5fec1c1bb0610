/* The tray platform interface: the hidden window, its message loop, timers
   and the notification icon, as one table of plain C functions that a
   backend fills. The tray host's logic (tray/) talks to the desktop only
   through this table, and the table holds no toolkit type.

   A backend is either linked in (the test backend) or a shared library that
   the host loads at run time and asks for its table through the one exported
   C function named by TRAY_BACKEND_SYMBOL (type TrayBackendEntry), so that
   the host executable itself links no toolkit.

   Message, notification and flag numbers are those of the Windows shell, so
   that a Windows backend passes them through unchanged; every backend
   delivers the same meanings to the window procedure.

   Threads: every function runs on the main thread, except post_message,
   which any thread may call. No function of the table calls back into the
   window procedure, except run_loop (which dispatches), destroy_window
   (which delivers TRAY_MSG_DESTROY), message_box and popup_menu (modal
   loops). No function lets a C++ exception out.

   This file is valid C and C++. */
#ifndef NIMBREL_PLATFORM_TRAY_H
#define NIMBREL_PLATFORM_TRAY_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Version of this table. A host uses a backend only when both agree; new
   functions are appended and raise the number. */
#define TRAY_BACKEND_ABI 4
#define TRAY_BACKEND_SYMBOL "nimbrel_tray_backend"

/* Messages delivered to the window procedure. */
#define TRAY_MSG_DESTROY 0x0002u       /* the window is being destroyed */
#define TRAY_MSG_COMMAND 0x0111u       /* wparam: command word (low 16 bits: item id) */
#define TRAY_MSG_TIMER 0x0113u         /* wparam: timer identifier */
#define TRAY_MSG_ICON 0x8000u          /* icon notification; wparam: icon id, lparam: TRAY_MOUSE_* */
#define TRAY_MSG_DOWNLOAD_DONE 0x8001u /* wparam: a finished download request (posted by a worker) */
#define TRAY_MSG_FD_READY 0x8002u      /* wparam: a descriptor given to watch_fd that is readable */
#define TRAY_MSG_MENU_OPENING 0x8003u  /* the icon's exported menu wants its items; wparam: TRAY_OPENING_* */
/* The taskbar came back: its number is what taskbar_created_message() says
   (a number from 0xC000 up, as registered messages have). */

/* Why TRAY_MSG_MENU_OPENING comes (its wparam). A desktop that draws the
   icon's menu itself (a StatusNotifierItem host reads it as a DBusMenu)
   asks for the items just before it opens the menu; not every such desktop
   asks, so the backend also refreshes them when the icon is shown, after
   each chosen command and after a message box closed, with nobody looking. The procedure answers by calling
   set_icon_menu while it handles the message; on a refresh it may leave the
   items as they are. The message comes from the loop whenever the desktop
   asks, so also from inside the modal loops of message_box and popup_menu. */
#define TRAY_OPENING_REFRESH 0u /* nobody is looking: keep the items current */
#define TRAY_OPENING_SHOW 1u    /* the desktop is about to show the menu: the user asked for it */

/* Icon notifications (lparam of TRAY_MSG_ICON). */
#define TRAY_MOUSE_MOVE 0x0200u     /* the pointer is over the icon */
#define TRAY_LBUTTON_DOWN 0x0201u   /* a left click */
#define TRAY_LBUTTON_UP 0x0202u
#define TRAY_LBUTTON_DBLCLK 0x0203u /* the second press of a double click */
#define TRAY_RBUTTON_DOWN 0x0204u
#define TRAY_RBUTTON_UP 0x0205u     /* a right click: the context menu's moment (not delivered
                                       by a backend whose icon exports its menu: the desktop
                                       shows that one) */

/* Icon actions. */
#define TRAY_ICON_ADD 0u
#define TRAY_ICON_MODIFY 1u
#define TRAY_ICON_DELETE 2u

/* Fields of the icon record that one notify_icon call applies. */
#define TRAY_NIF_MESSAGE 0x01u
#define TRAY_NIF_ICON 0x02u
#define TRAY_NIF_TIP 0x04u
#define TRAY_NIF_INFO 0x10u /* show the balloon described by the info fields */

/* Balloon kinds (info_flags). */
#define TRAY_INFO_NONE 0u
#define TRAY_INFO_INFO 1u
#define TRAY_INFO_WARNING 2u
#define TRAY_INFO_ERROR 3u

/* Message box styles: button sets, icons, default buttons. */
#define TRAY_MB_OK 0x0u
#define TRAY_MB_OKCANCEL 0x1u
#define TRAY_MB_ABORTRETRYIGNORE 0x2u
#define TRAY_MB_YESNOCANCEL 0x3u
#define TRAY_MB_YESNO 0x4u
#define TRAY_MB_RETRYCANCEL 0x5u
#define TRAY_MB_CANCELTRYCONTINUE 0x6u
#define TRAY_MB_TYPEMASK 0xFu
#define TRAY_MB_ICONHAND 0x10u
#define TRAY_MB_ICONQUESTION 0x20u
#define TRAY_MB_ICONEXCLAMATION 0x30u
#define TRAY_MB_ICONASTERISK 0x40u
#define TRAY_MB_ICONMASK 0xF0u
#define TRAY_MB_DEFBUTTON1 0x000u
#define TRAY_MB_DEFBUTTON2 0x100u
#define TRAY_MB_DEFBUTTON3 0x200u
#define TRAY_MB_DEFBUTTON4 0x300u
#define TRAY_MB_DEFMASK 0xF00u

/* The buttons a message box returns. */
#define TRAY_IDOK 1
#define TRAY_IDCANCEL 2
#define TRAY_IDABORT 3
#define TRAY_IDRETRY 4
#define TRAY_IDIGNORE 5
#define TRAY_IDYES 6
#define TRAY_IDNO 7
#define TRAY_IDTRYAGAIN 10
#define TRAY_IDCONTINUE 11

/* Item flags of a popup menu tree. */
#define TRAY_MENU_GRAYED 0x01u       /* shown, but cannot be chosen */
#define TRAY_MENU_CHECKED 0x02u      /* with a check mark */
#define TRAY_MENU_RADIO 0x04u        /* its check mark is a radio mark */
#define TRAY_MENU_DEFAULT 0x08u      /* the default item (shown in bold) */
#define TRAY_MENU_SEPARATOR 0x10u    /* a separator line: no label, no identifier */
#define TRAY_MENU_COLUMN_BREAK 0x20u /* starts a new column */
#define TRAY_MENU_POPUP 0x40u        /* opens a submenu: `children` */

/* One item of a popup menu tree. */
typedef struct TrayMenuItem {
    const char* label;       /* UTF-8, '&' mnemonics kept ("&&" is a literal '&'); "" for a separator */
    const char* accelerator; /* the text after the label's first tab, such as "Ctrl+O"; "" when none */
    uint32_t id;             /* the identifier a choice reports (its low 16 bits, as they travel) */
    uint32_t flags;          /* TRAY_MENU_* */
    const struct TrayMenuItem* children; /* first item of the submenu (popup items), else null */
    const struct TrayMenuItem* next;     /* next item of the same menu, or null */
} TrayMenuItem;

/* The largest icon record: the host zeroes this many bytes before it fills
   the record, whatever size it then declares. */
#define TRAY_ICON_RECORD_SIZE 504u
#define TRAY_TIP_SIZE 128u
#define TRAY_INFO_SIZE 256u
#define TRAY_INFO_TITLE_SIZE 64u

/* The notification icon record. The host keeps one for the life of the
   program and passes it to every notify_icon call after setting `flags`.
   Texts are UTF-8 and NUL-terminated within their fields. */
typedef struct TrayIconRecord {
    uint32_t size;             /* 88, 488 or 504: the size declared for the shell version */
    uint32_t id;               /* 100 */
    uint32_t flags;            /* TRAY_NIF_* fields that this call applies */
    uint32_t callback_message; /* TRAY_MSG_ICON */
    intptr_t icon;             /* an icon of the backend: from load_icon or default_icon */
    char tip[TRAY_TIP_SIZE];
    char info[TRAY_INFO_SIZE];
    uint32_t info_timeout_ms;
    char info_title[TRAY_INFO_TITLE_SIZE];
    uint32_t info_flags; /* TRAY_INFO_* */
} TrayIconRecord;

/* The window procedure that the backend calls for every message, on the
   main thread. Returns the message's result. */
typedef intptr_t (*TrayWindowProcFn)(uint32_t message, uintptr_t wparam, intptr_t lparam);

typedef struct TrayBackend {
    uint32_t abi;     /* TRAY_BACKEND_ABI */
    const char* name; /* "qt", "test", ... */

    /* Creates the application and the hidden window whose procedure is
       `proc`. argv is a private copy (argv[*argc] is null) that the backend
       may rearrange: the host passes the script its own. *argc and argv
       stay valid until close has returned. 0 on success;
       otherwise a one-line reason without a newline in `error` (for example
       that no display can be opened), and nothing else may be called but
       close. */
    int (*open)(int* argc, char** argv, TrayWindowProcFn proc, char* error, size_t error_size);
    /* Releases everything that open made. Called last, once, after run_loop
       has returned (or after a failed open). */
    void (*close)(void);

    /* Major version of the shell's icon interface: it decides the record
       size, the tip length and whether balloons exist (4 when unknown). */
    uint32_t (*shell_version)(void);
    /* Number of the message that says the taskbar came back. */
    uint32_t (*taskbar_created_message)(void);
    /* The double-click time in milliseconds, read when asked. */
    uint32_t (*double_click_time)(void);

    /* Adds, modifies or deletes the icon with the record's fields named in
       its flags (ADD and DELETE always come with MESSAGE | ICON | TIP).
       Non-zero on success. ADD of an icon that is shown re-shows it. */
    int (*notify_icon)(uint32_t action, const TrayIconRecord* record);
    /* An icon from image bytes (PNG, SVG, ICO: what the backend reads): a
       non-zero value for the record's icon field, or 0 when the bytes are no
       image. The bytes are not kept. Icons live as long as the backend. */
    intptr_t (*load_icon)(const void* bytes, size_t length);
    /* The backend's built-in icon, used when the program binds none. */
    intptr_t (*default_icon)(void);

    /* Timers of the hidden window: each expiry delivers TRAY_MSG_TIMER with
       the identifier; setting an identifier again replaces its timer. The
       host keeps intervals within 10 ms and 0x7FFFFFFF ms. */
    void (*set_timer)(uint32_t id, uint32_t milliseconds);
    void (*kill_timer)(uint32_t id);

    /* Queues a message for the window procedure; it is delivered from the
       loop after the current event. Safe from any thread (the download
       workers post TRAY_MSG_DOWNLOAD_DONE with it). Non-zero when queued. */
    int (*post_message)(uint32_t message, uintptr_t wparam, intptr_t lparam);
    /* Delivers `message` with wparam = fd whenever the descriptor is
       readable (level-triggered: the host reads it empty). Used for the
       self-pipe that turns a termination signal into an event. Non-zero on
       success; a backend without descriptors returns 0. */
    int (*watch_fd)(int fd, uint32_t message);

    /* Runs the event loop until a quit is posted; returns the quit code.
       May return earlier without one when the application is ended from
       outside (the desktop session ends): the host then ends it itself. */
    int (*run_loop)(void);
    /* Ends the event loop after the current event, with `code`. */
    void (*post_quit)(int code);
    /* Destroys the hidden window: stops every timer and delivers
       TRAY_MSG_DESTROY to the procedure before it returns. Afterwards no
       message reaches the procedure. */
    void (*destroy_window)(void);

    /* A modal message box owned by the tray: `style` holds the button set
       (TRAY_MB_OK .. TRAY_MB_CANCELTRYCONTINUE, low four bits), the icon
       (TRAY_MB_ICON*, bits 4 to 7) and the default button (TRAY_MB_DEFBUTTON*,
       bits 8 and 9); texts are UTF-8. It runs its own event loop until the
       user answers, and timers, icon notifications and posted messages reach
       the window procedure meanwhile, so calls into it nest. Returns the
       pressed button's TRAY_ID* code, TRAY_IDCANCEL when close_box closed it
       or the user closed it without a button, 0 when it cannot be shown (an
       unknown button set, no window). */
    int (*message_box)(const char* text, const char* caption, uint32_t style);
    /* Brings the open message box to the front; nothing without one. */
    void (*raise_box)(void);
    /* Closes the open message box: message_box returns TRAY_IDCANCEL after
       the current event. Nothing without one. */
    void (*close_box)(void);
    /* The version that decides which button sets the box offers: below 5
       it has no TRAY_MB_CANCELTRYCONTINUE, and the host asks for
       TRAY_MB_ABORTRETRYIGNORE instead. */
    uint32_t (*box_style_version)(void);
    /* Hands a file, directory or URL to the desktop's default handler
       without waiting for it. Non-zero when handed over; otherwise a
       one-line reason without a newline in `error` (the target does not
       exist, no handler takes it). */
    int (*execute)(const char* target, char* error, size_t error_size);

    /* A modal popup menu of the items `items` (the first of the top level),
       opened at the pointer. It runs its own event loop until the user
       chooses or dismisses it, and messages reach the window procedure
       meanwhile. Returns the chosen item's id once the menu has closed, 0
       when it was dismissed or cannot be shown. The host posts the choice
       as TRAY_MSG_COMMAND. The tree is not kept. */
    int (*popup_menu)(const TrayMenuItem* items);

    /* The items of the menu that the icon exports to a desktop that draws
       it itself (null or no items: an empty menu). The backend copies the
       tree; the host frees it after the call. Called from the window
       procedure while it handles TRAY_MSG_MENU_OPENING, never calls back
       into it. A choice from that menu is posted (TRAY_MSG_COMMAND with the
       item's id in the low 16 bits) and delivered once the desktop's menu
       has closed, as popup_menu's choice is; after it the backend delivers a
       TRAY_OPENING_REFRESH. A backend whose icon exports no menu (on an
       XEmbed tray) ignores the call and never delivers TRAY_MSG_MENU_OPENING;
       there the host opens popup_menu on a right click instead. */
    void (*set_icon_menu)(const TrayMenuItem* items);
} TrayBackend;

typedef const TrayBackend* (*TrayBackendEntry)(void);

#ifdef __cplusplus
}
#endif

#endif
