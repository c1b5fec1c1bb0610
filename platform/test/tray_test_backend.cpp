// The test backend: records the host's calls and runs the steps of a test.
// Plain C-style code: the host calls it from inside extension functions.
#include "platform/test/tray_test_backend.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace {

FILE* g_out = nullptr;
char* g_steps = nullptr;
TrayWindowProcFn g_proc = nullptr;
uint32_t g_shell_version = 4;
uint32_t g_double_click_ms = 500;
constexpr uint32_t kTaskbarCreated = 0xC0DE;

// Timers that run.
constexpr int kMaxTimers = 64;
uint32_t g_timer_ids[kMaxTimers];
int g_timer_count = 0;

// Icons: their first bytes, as text, name them in the lines.
constexpr int kMaxIcons = 64;
constexpr size_t kIconNameSize = 24;
char g_icon_names[kMaxIcons][kIconNameSize] = {"default"};
int g_icon_count = 1;

// Posted messages, from any thread. A message from another thread is
// numbered (1, 2, ...) and held back until an "await" step has counted it,
// so that a script of steps sees it at the same point however fast that
// thread is; the loop's own messages have 0.
struct Posted {
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
    int foreign = 0;
};
constexpr int kMaxPosted = 256;
Posted g_posted[kMaxPosted];
int g_posted_count = 0;
pthread_mutex_t g_posted_lock = PTHREAD_MUTEX_INITIALIZER;
// Messages queued by threads other than the loop's, and how many the
// "await" steps have waited for so far.
pthread_t g_loop_thread;
int g_foreign_posted = 0;
int g_awaited = 0;
pthread_cond_t g_foreign_cond = PTHREAD_COND_INITIALIZER;
constexpr int kAwaitSeconds = 60;

struct Watched {
    int fd;
    uint32_t message;
};
Watched g_watched[4];
int g_watched_count = 0;

bool g_quit_posted = false;
int g_quit_code = 0;
bool g_modal_armed = false;
// The message box: the answer of the next one, and whether close_box ended
// the open one.
int g_box_result = TRAY_IDOK;
bool g_box_open = false;
bool g_box_closed = false;
// The popup menu: the item that the next one chooses (0: it is dismissed).
int g_menu_choice = 0;

FILE* out() { return g_out ? g_out : stdout; }

void line(const char* format, ...) __attribute__((format(printf, 1, 2)));
void line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    fputs("tray: ", out());
    vfprintf(out(), format, args);
    fputc('\n', out());
    fflush(out());
    va_end(args);
}

const char* icon_name(intptr_t icon) {
    if (icon >= 1 && icon <= g_icon_count) return g_icon_names[icon - 1];
    return "?";
}

// ---- message delivery ----------------------------------------------------------------
void deliver(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (g_proc) g_proc(message, wparam, lparam);
}

int run_posted() {
    int n = 0;
    for (;;) {
        pthread_mutex_lock(&g_posted_lock);
        int i = 0;
        while (i < g_posted_count && g_posted[i].foreign > g_awaited) i++;
        if (i == g_posted_count) {
            pthread_mutex_unlock(&g_posted_lock);
            return n;
        }
        Posted p = g_posted[i];
        memmove(g_posted + i, g_posted + i + 1, sizeof(Posted) * static_cast<size_t>(--g_posted_count - i));
        pthread_mutex_unlock(&g_posted_lock);
        deliver(p.message, p.wparam, p.lparam);
        n++;
    }
}

// A host call that a modal loop would run in: delivers the queued messages.
void maybe_modal() {
    if (!g_modal_armed) return;
    g_modal_armed = false;
    line("modal loop");
    run_posted();
}

int find_timer(uint32_t id) {
    for (int i = 0; i < g_timer_count; i++)
        if (g_timer_ids[i] == id) return i;
    return -1;
}

// ---- the table ------------------------------------------------------------------------
int t_open(int*, char**, TrayWindowProcFn proc, char*, size_t) {
    g_proc = proc;
    g_loop_thread = pthread_self();
    return 0;
}
void t_close() { g_proc = nullptr; }
uint32_t t_shell_version() { return g_shell_version; }
uint32_t t_taskbar_created_message() { return kTaskbarCreated; }
uint32_t t_double_click_time() { return g_double_click_ms; }

int t_notify_icon(uint32_t action, const TrayIconRecord* r) {
    maybe_modal();
    if (action == TRAY_ICON_ADD) {
        line("add size=%u id=%u flags=0x%x msg=0x%x icon=%s tip=\"%s\"", r->size, r->id, r->flags, r->callback_message,
             icon_name(r->icon), r->tip);
    } else if (action == TRAY_ICON_DELETE) {
        line("delete id=%u flags=0x%x", r->id, r->flags);
    } else {
        char text[600];
        int n = snprintf(text, sizeof text, "modify flags=0x%x", r->flags);
        if (r->flags & TRAY_NIF_ICON) n += snprintf(text + n, sizeof text - n, " icon=%s", icon_name(r->icon));
        if (r->flags & TRAY_NIF_TIP) n += snprintf(text + n, sizeof text - n, " tip=\"%s\"", r->tip);
        if (r->flags & TRAY_NIF_INFO)
            snprintf(text + n, sizeof text - n, " info=\"%s\" title=\"%s\" kind=%u timeout=%u", r->info, r->info_title,
                     r->info_flags, r->info_timeout_ms);
        line("%s", text);
    }
    return 1;
}

intptr_t t_load_icon(const void* bytes, size_t length) {
    if (length == 0 || g_icon_count == kMaxIcons) return 0;
    char* name = g_icon_names[g_icon_count];
    size_t n = 0;
    const auto* b = static_cast<const unsigned char*>(bytes);
    while (n < length && n + 1 < kIconNameSize && b[n] > ' ' && b[n] < 0x7F) {
        name[n] = static_cast<char>(b[n]);
        n++;
    }
    name[n] = 0;
    // Bytes that do not begin with a printable word are no image.
    if (n == 0) return 0;
    line("load_icon %s", name);
    return ++g_icon_count;
}

intptr_t t_default_icon() { return 1; }

void t_set_timer(uint32_t id, uint32_t ms) {
    maybe_modal();
    line("set_timer %u %u", id, ms);
    if (find_timer(id) < 0 && g_timer_count < kMaxTimers) g_timer_ids[g_timer_count++] = id;
}

void t_kill_timer(uint32_t id) {
    maybe_modal();
    line("kill_timer %u", id);
    int i = find_timer(id);
    if (i >= 0) g_timer_ids[i] = g_timer_ids[--g_timer_count];
}

int t_post_message(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    pthread_mutex_lock(&g_posted_lock);
    bool room = g_posted_count < kMaxPosted;
    bool foreign = room && !pthread_equal(pthread_self(), g_loop_thread);
    if (foreign) {
        g_foreign_posted++;
        pthread_cond_broadcast(&g_foreign_cond);
    }
    if (room) g_posted[g_posted_count++] = {message, wparam, lparam, foreign ? g_foreign_posted : 0};
    pthread_mutex_unlock(&g_posted_lock);
    return room;
}

int t_watch_fd(int fd, uint32_t message) {
    if (g_watched_count == 4) return 0;
    g_watched[g_watched_count++] = {fd, message};
    return 1;
}

void t_post_quit(int code) {
    line("post_quit %d", code);
    g_quit_posted = true;
    g_quit_code = code;
}

void t_destroy_window() {
    line("destroy_window");
    g_timer_count = 0;
    deliver(TRAY_MSG_DESTROY, 0, 0);
}

// ---- steps ------------------------------------------------------------------------------
uintptr_t number(const char* text) { return static_cast<uintptr_t>(strtoull(text, nullptr, 0)); }

intptr_t icon_notification(const char* what) {
    static const struct {
        const char* name;
        uint32_t value;
    } kNames[] = {{"move", TRAY_MOUSE_MOVE},       {"ldown", TRAY_LBUTTON_DOWN}, {"lup", TRAY_LBUTTON_UP},
                  {"ldbl", TRAY_LBUTTON_DBLCLK},   {"rdown", TRAY_RBUTTON_DOWN}, {"rup", TRAY_RBUTTON_UP}};
    for (const auto& n : kNames)
        if (strcmp(what, n.name) == 0) return n.value;
    return static_cast<intptr_t>(number(what));
}

// The message that an injection step stands for; false for other steps.
bool step_message(char** words, int count, Posted* m) {
    const char* w = words[0];
    if (strcmp(w, "icon") == 0 && count == 2) *m = {TRAY_MSG_ICON, 100, icon_notification(words[1])};
    else if (strcmp(w, "timer") == 0 && count == 2) *m = {TRAY_MSG_TIMER, number(words[1]), 0};
    else if (strcmp(w, "command") == 0 && count == 2) *m = {TRAY_MSG_COMMAND, number(words[1]), 0};
    else if (strcmp(w, "taskbar") == 0 && count == 1) *m = {kTaskbarCreated, 0, 0};
    else if (strcmp(w, "msg") == 0 && count == 4)
        *m = {static_cast<uint32_t>(number(words[1])), number(words[2]), static_cast<intptr_t>(number(words[3]))};
    else return false;
    return true;
}

void poll_watched() {
    for (int i = 0; i < g_watched_count; i++) {
        struct pollfd p = {g_watched[i].fd, POLLIN, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) deliver(g_watched[i].message, static_cast<uintptr_t>(p.fd), 0);
    }
}

// Waits (in real time, up to kAwaitSeconds) until `n` more messages from
// other threads have been queued, counted on from the previous await.
void await_posted(int n) {
    g_awaited += n;
    struct timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += kAwaitSeconds;
    pthread_mutex_lock(&g_posted_lock);
    while (g_foreign_posted < g_awaited)
        if (pthread_cond_timedwait(&g_foreign_cond, &g_posted_lock, &deadline) != 0) break;
    int arrived = g_foreign_posted;
    pthread_mutex_unlock(&g_posted_lock);
    if (arrived < g_awaited) line("await timed out: %d of %d arrived", arrived, g_awaited);
}

void run_step(char* step) {
    char* words[8];
    int count = 0;
    for (char* save = nullptr, *w = strtok_r(step, " \t", &save); w && count < 8; w = strtok_r(nullptr, " \t", &save))
        words[count++] = w;
    if (count == 0 || strcmp(words[0], "shell") == 0) return;
    Posted m;
    if (strcmp(words[0], "post") == 0 && count > 1 && step_message(words + 1, count - 1, &m)) {
        t_post_message(m.message, m.wparam, m.lparam);
    } else if (strcmp(words[0], "timer") == 0 && count == 2 && find_timer(static_cast<uint32_t>(number(words[1]))) < 0) {
        line("timer %s is not running", words[1]);
    } else if (step_message(words, count, &m)) {
        deliver(m.message, m.wparam, m.lparam);
    } else if (strcmp(words[0], "dclick") == 0 && count == 2) {
        g_double_click_ms = static_cast<uint32_t>(number(words[1]));
    } else if (strcmp(words[0], "posted") == 0) {
        run_posted();
    } else if (strcmp(words[0], "await") == 0 && (count == 2 || (count == 3 && strcmp(words[2], "queue") == 0))) {
        await_posted(static_cast<int>(number(words[1])));
        if (count == 2) run_posted();
    } else if (strcmp(words[0], "box") == 0 && count == 2) {
        g_box_result = static_cast<int>(number(words[1]));
    } else if (strcmp(words[0], "menu") == 0 && count <= 2) {
        g_menu_choice = count == 2 ? static_cast<int>(number(words[1])) : 0;
    } else if (strcmp(words[0], "iconmenu") == 0 && count == 1) {
        deliver(TRAY_MSG_MENU_OPENING, TRAY_OPENING_SHOW, 0);
    } else if (strcmp(words[0], "iconchoose") == 0 && count == 2) {
        // As the desktop backend does: the command is posted, and the items
        // are refreshed after it.
        t_post_message(TRAY_MSG_COMMAND, number(words[1]) & 0xFFFF, 0);
        t_post_message(TRAY_MSG_MENU_OPENING, TRAY_OPENING_REFRESH, 0);
    } else if (strcmp(words[0], "modal") == 0) {
        g_modal_armed = true;
    } else if (strcmp(words[0], "signal") == 0 && count == 2) {
        raise(static_cast<int>(number(words[1])));
        poll_watched();
    } else {
        line("unknown step");
    }
}

int t_run_loop() {
    for (char* save = nullptr, *s = g_steps ? strtok_r(g_steps, ";\n", &save) : nullptr; s;
         s = strtok_r(nullptr, ";\n", &save)) {
        while (*s == ' ') s++;
        if (!*s) continue;
        fprintf(out(), "> %s\n", s);
        fflush(out());
        run_step(s);
    }
    if (g_quit_posted) return g_quit_code;
    line("loop ended by the test");
    return 0;
}

// The box's own loop delivers the queued messages and the readiness of the
// watched descriptors, then the box is answered
// with the result that a "box" step chose (OK when none did).
int t_message_box(const char* text, const char* caption, uint32_t style) {
    line("message_box style=0x%x caption=\"%s\" text=\"%s\"", style, caption, text);
    if ((style & TRAY_MB_TYPEMASK) > TRAY_MB_CANCELTRYCONTINUE) return 0;
    int result = g_box_result;
    g_box_result = TRAY_IDOK;
    g_box_open = true;
    g_box_closed = false;
    run_posted();
    poll_watched();
    g_box_open = false;
    if (g_box_closed) result = TRAY_IDCANCEL;
    line("message_box returns %d", result);
    return result;
}

void t_raise_box() { line("raise_box"); }

void t_close_box() {
    line("close_box");
    if (g_box_open) g_box_closed = true;
}

// The shell version stands in: 4 unless a "shell" step says otherwise.
uint32_t t_box_style_version() { return g_shell_version; }

// An existing file or anything with a scheme is handed over.
int t_execute(const char* target, char* error, size_t error_size) {
    line("execute %s", target);
    if (strstr(target, "://") || access(target, F_OK) == 0) return 1;
    snprintf(error, error_size, "no such file or directory");
    return 0;
}

// Appends the items of one menu level: "label|accelerator id=N", flags in
// brackets, separators as "-", submenus as "[label: items]".
void menu_text(const TrayMenuItem* item, char* text, size_t size, size_t* n) {
    for (bool first = true; item && *n < size; item = item->next, first = false) {
        if (!first) *n += static_cast<size_t>(snprintf(text + *n, size - *n, "; "));
        if (*n >= size) return;
        if (item->flags & TRAY_MENU_SEPARATOR) {
            *n += static_cast<size_t>(snprintf(text + *n, size - *n, "-"));
        } else if (item->flags & TRAY_MENU_POPUP) {
            *n += static_cast<size_t>(snprintf(text + *n, size - *n, "[%s: ", item->label));
            if (*n < size) menu_text(item->children, text, size, n);
            if (*n < size) *n += static_cast<size_t>(snprintf(text + *n, size - *n, "]"));
        } else {
            *n += static_cast<size_t>(snprintf(text + *n, size - *n, "%s%s%s id=%u", item->label,
                                               item->accelerator[0] ? "|" : "", item->accelerator, item->id));
        }
        if (*n < size && (item->flags & (TRAY_MENU_GRAYED | TRAY_MENU_CHECKED | TRAY_MENU_RADIO | TRAY_MENU_DEFAULT)))
            *n += static_cast<size_t>(snprintf(text + *n, size - *n, "%s%s%s%s", (item->flags & TRAY_MENU_GRAYED) ? " grayed" : "",
                                               (item->flags & TRAY_MENU_CHECKED) ? " checked" : "",
                                               (item->flags & TRAY_MENU_RADIO) ? " radio" : "",
                                               (item->flags & TRAY_MENU_DEFAULT) ? " default" : ""));
    }
}

// The menu's own loop delivers the queued messages, then the menu closes
// with the item that a "menu" step chose (dismissed when none did).
int t_popup_menu(const TrayMenuItem* items) {
    char text[2048];
    size_t n = 0;
    menu_text(items, text, sizeof text, &n);
    line("menu %s", text);
    int choice = g_menu_choice;
    g_menu_choice = 0;
    run_posted();
    line("menu returns %d", choice);
    return choice;
}

// The exported menu's items, as the desktop would read them.
void t_set_icon_menu(const TrayMenuItem* items) {
    char text[2048] = "";
    size_t n = 0;
    menu_text(items, text, sizeof text, &n);
    line("icon_menu %s", items ? text : "(empty)");
}

const TrayBackend kBackend = {
    TRAY_BACKEND_ABI,  "test",          t_open,         t_close,        t_shell_version, t_taskbar_created_message,
    t_double_click_time, t_notify_icon, t_load_icon,    t_default_icon, t_set_timer,     t_kill_timer,
    t_post_message,    t_watch_fd,      t_run_loop,     t_post_quit,    t_destroy_window,
    t_message_box,     t_raise_box,     t_close_box,    t_box_style_version, t_execute,
    t_popup_menu,      t_set_icon_menu,
};

}  // namespace

const TrayBackend* tray_test_backend() { return &kBackend; }

void tray_test_set_output(FILE* o) { g_out = o; }

void tray_test_set_steps(const char* steps) {
    free(g_steps);
    g_steps = steps ? strdup(steps) : nullptr;
    // The shell version is asked for at start: take it now.
    const char* at = steps ? strstr(steps, "shell ") : nullptr;
    if (at && (at == steps || at[-1] == ';' || at[-1] == '\n' || at[-1] == ' ')) g_shell_version = static_cast<uint32_t>(atoi(at + 6));
}
