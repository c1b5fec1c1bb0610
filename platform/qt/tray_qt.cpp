// The Qt 6 desktop backend of the tray host: the application and its event
// loop stand in for the hidden window and its message loop, a
// QSystemTrayIcon for the notification icon, one QTimer per timer
// identifier. Built as a shared library that exports only the table entry,
// so that the host executable links no Qt library.
//
// Two kinds of notification area exist on Linux desktops:
//   - XEmbed (an X11 tray manager owning the selection _NET_SYSTEM_TRAY_Sn):
//     Qt embeds a small widget of its own (class QSystemTrayIconSys) into the
//     tray. Presses on it give activated(Trigger), a double click Trigger and
//     then DoubleClick, a right press Context; hovering delivers Enter,
//     MouseMove and ToolTip events to that widget, which the application-wide
//     event filter below turns into pointer movement over the icon. When the
//     tray comes back after a restart, Qt embeds a new widget and shows it:
//     that Show is the taskbar's return.
//   - StatusNotifierItem (a StatusNotifierWatcher with a registered host on
//     the session bus; Qt prefers it whenever it is there): every click is an
//     Activate (Trigger), a right click ContextMenu (Context); no double click
//     and no hover are reported. A second Trigger within the double-click time
//     is taken for the double click, and the pointer movement is delivered at
//     a fixed interval instead, so that the tip stays current. The watcher
//     registering again on the bus is the taskbar's return.
//     The desktop draws the icon's menu itself from the DBusMenu that Qt
//     exports for the icon's context menu: that QMenu is never shown here.
//     Its aboutToShow (the desktop's AboutToShow of the root) asks the host
//     for the script's items, and they are refreshed when the icon is shown,
//     after each choice and after a message box closed too, for desktops
//     that read the layout without asking first. A ContextMenu request then
//     delivers no right click: the desktop shows the exported menu, and a
//     second one at the pointer would stand in its way. Only when Qt exports
//     no menu is it a right click.
//
// A message box runs QMessageBox::exec() as its modal loop; Execute hands the
// target to QDesktopServices.
//
// Every table function catches whatever Qt throws. The window procedure is
// the host's: it runs every call into the interpreter under its own jump
// frame, so nothing here ever calls into the interpreter.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <QActionGroup>
#include <QApplication>
#include <QBuffer>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QCursor>
#include <QDBusServiceWatcher>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QIcon>
#include <QImageReader>
#include <QKeySequence>
#include <QLibraryInfo>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QPainter>
#include <QPixmap>
#include <QSocketNotifier>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>
#include <map>
#include <vector>

#include "platform/tray.h"

namespace {

// A registered message's number, as the shell's "TaskbarCreated" would get.
constexpr uint32_t kTaskbarCreated = 0xC001;
// How often the tip is refreshed where the desktop reports no hover.
constexpr int kToolTipIntervalMs = 2000;
// The class of the widget that Qt embeds into an XEmbed tray.
constexpr const char* kEmbeddedIconClass = "QSystemTrayIconSys";
constexpr const char* kWatcherService = "org.kde.StatusNotifierWatcher";

class Filter;

struct Backend {
    TrayWindowProcFn proc = nullptr;
    QApplication* app = nullptr;
    QSystemTrayIcon* icon = nullptr;
    Filter* filter = nullptr;
    QObject* owner = nullptr;  // parent of every timer, notifier and watcher
    std::map<uint32_t, QTimer*> timers;
    std::vector<QSocketNotifier*> notifiers;
    std::vector<QIcon> icons;  // backend icon n is icons[n - 1]
    intptr_t default_icon = 0;
    QTimer* tip_timer = nullptr;    // StatusNotifierItem: the tip refresh
    QMenu* icon_menu = nullptr;     // StatusNotifierItem: the menu that Qt exports to the desktop
    QByteArray icon_menu_items;     // what it holds, as menu_key() writes it
    bool icon_menu_stale = false;   // made anew on the next set_icon_menu, even with the same items
    bool status_notifier = false;  // Qt talks to a StatusNotifierWatcher
    QElapsedTimer last_trigger;    // StatusNotifierItem: the previous activation
    bool window_open = false;      // messages reach the procedure
    int in_notify = 0;             // inside notify_icon: a Show there is our own
    bool quit_posted = false;
    int quit_code = 0;
    QPointer<QMessageBox> box;  // the open message box
    bool box_closed = false;    // close_box ended it
};
Backend* g = nullptr;

void export_icon_menu();
void clear_icon_menu();

void deliver(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (g && g->window_open && g->proc) g->proc(message, wparam, lparam);
}

// After the current event, from the loop.
void deliver_later(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    if (!g || !g->owner) return;
    QMetaObject::invokeMethod(
        g->owner, [message, wparam, lparam] { deliver(message, wparam, lparam); }, Qt::QueuedConnection);
}

bool embedded_icon(QObject* o) {
    return o->isWidgetType() && strcmp(o->metaObject()->className(), kEmbeddedIconClass) == 0;
}

class Filter : public QObject {
public:
    bool eventFilter(QObject* o, QEvent* e) override {
        try {
            switch (e->type()) {
                case QEvent::Enter:
                case QEvent::MouseMove:
                case QEvent::ToolTip:
                    // Delivered now, before the widget shows its tip, so that
                    // the tip shown is the one the script returns.
                    if (embedded_icon(o)) deliver(TRAY_MSG_ICON, 100, TRAY_MOUSE_MOVE);
                    break;
                case QEvent::Show:
                    // A new embedded widget that we did not show ourselves:
                    // Qt re-embedded the icon into a tray that came back.
                    if (embedded_icon(o) && g && !g->in_notify) deliver_later(kTaskbarCreated, 0, 0);
                    break;
                default:
                    break;
            }
        } catch (...) {
        }
        return false;
    }
};

void on_activated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
        case QSystemTrayIcon::Trigger:
            if (g->status_notifier) {
                // The desktop reports each click alone: a second one within
                // the double-click time makes the double click.
                qint64 interval = QApplication::doubleClickInterval();
                if (g->last_trigger.isValid() && g->last_trigger.elapsed() <= interval) {
                    g->last_trigger.invalidate();
                    deliver(TRAY_MSG_ICON, 100, TRAY_LBUTTON_DBLCLK);
                    break;
                }
                g->last_trigger.start();
            }
            deliver(TRAY_MSG_ICON, 100, TRAY_LBUTTON_DOWN);
            break;
        case QSystemTrayIcon::DoubleClick:
            deliver(TRAY_MSG_ICON, 100, TRAY_LBUTTON_DBLCLK);
            break;
        case QSystemTrayIcon::Context:
            if (!g->icon_menu) deliver(TRAY_MSG_ICON, 100, TRAY_RBUTTON_UP);
            break;
        default:
            break;
    }
}

// Qt's own test for a desktop with a StatusNotifierItem tray: a watcher on
// the session bus that says a host is registered.
bool status_notifier_desktop() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(kWatcherService)) return false;
    QDBusInterface watcher(kWatcherService, "/StatusNotifierWatcher", kWatcherService, bus);
    return watcher.property("IsStatusNotifierHostRegistered").toBool();
}

// ---- the display ------------------------------------------------------------------------
// QGuiApplication ends the process when it cannot open its platform: the
// reasons it would fail for are found first and said in one line.

bool plugin_present(const char* name) {
    // Plugin directories given by the user are not searched here.
    if (getenv("QT_PLUGIN_PATH") || getenv("QT_QPA_PLATFORM_PLUGIN_PATH")) return true;
    QString path = QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libq" + name + ".so";
    return QFileInfo::exists(path);
}

// The value of Qt's option "-NAME VALUE" in the arguments, else the
// environment variable `variable`.
const char* qt_option(int argc, char** argv, const char* name, const char* variable) {
    for (int i = 1; i + 1 < argc; i++)
        if (argv[i][0] == '-' && strcmp(argv[i] + 1, name) == 0) return argv[i + 1];
    return getenv(variable);
}

// Connects to the X server the way Qt's xcb platform will. True when it
// answers, or when libxcb is not there to ask (then Qt's own check decides).
bool x_display_answers(const char* name) {
    void* xcb = dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb) return true;
    using Connect = void* (*)(const char*, int*);
    using HasError = int (*)(void*);
    using Disconnect = void (*)(void*);
    auto connect = reinterpret_cast<Connect>(dlsym(xcb, "xcb_connect"));
    auto has_error = reinterpret_cast<HasError>(dlsym(xcb, "xcb_connection_has_error"));
    auto disconnect = reinterpret_cast<Disconnect>(dlsym(xcb, "xcb_disconnect"));
    bool answers = true;
    if (connect && has_error && disconnect) {
        void* c = connect(name, nullptr);
        answers = c && has_error(c) == 0;
        if (c) disconnect(c);
    }
    dlclose(xcb);
    return answers;
}

// True when the platform can be opened; else false with the reason in `error`.
bool check_display(int argc, char** argv, char* error, size_t error_size) {
    const char* platform = qt_option(argc, argv, "platform", "QT_QPA_PLATFORM");
    bool x11 = true;
    if (platform && *platform) {
        x11 = strncmp(platform, "xcb", 3) == 0;
    } else {
        const char* wayland = getenv("WAYLAND_DISPLAY");
        if (wayland && *wayland && plugin_present("wayland")) x11 = false;
    }
    if (!x11) return true;  // another platform that the user chose: Qt's to judge
    const char* display = qt_option(argc, argv, "display", "DISPLAY");
    if (!display || !*display) {
        snprintf(error, error_size, "Can't open the desktop: no display (DISPLAY is not set)");
        return false;
    }
    if (!plugin_present("xcb")) {
        snprintf(error, error_size, "Can't open the desktop: Qt's X11 platform plugin (libqxcb.so) is not installed");
        return false;
    }
    if (!x_display_answers(display)) {
        snprintf(error, error_size, "Can't open the desktop: can't connect to the display %s", display);
        return false;
    }
    return true;
}

// ---- icons -------------------------------------------------------------------------------
intptr_t keep_icon(const QIcon& icon) {
    if (icon.isNull()) return 0;
    g->icons.push_back(icon);
    return static_cast<intptr_t>(g->icons.size());
}

QIcon icon_of(intptr_t handle) {
    if (handle >= 1 && static_cast<size_t>(handle) <= g->icons.size()) return g->icons[static_cast<size_t>(handle) - 1];
    if (g->default_icon >= 1) return g->icons[static_cast<size_t>(g->default_icon) - 1];
    return QIcon();
}

// The built-in icon: a blue disc with a white ring, drawn at two sizes.
QIcon drawn_icon() {
    QIcon icon;
    for (int size : {22, 64}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1f, 0x5f, 0xbf));
        p.drawEllipse(QRectF(0.5, 0.5, size - 1.0, size - 1.0));
        p.setPen(QPen(Qt::white, size / 8.0));
        p.setBrush(Qt::NoBrush);
        double inset = size * 0.3;
        p.drawEllipse(QRectF(inset, inset, size - 2 * inset, size - 2 * inset));
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// ---- the table ----------------------------------------------------------------------------
void release() {
    if (!g) return;
    delete g->icon;
    delete g->icon_menu;
    delete g->owner;  // timers, notifiers and watchers
    if (g->app) g->app->removeEventFilter(g->filter);
    delete g->filter;
    g->icons.clear();
    delete g->app;
    delete g;
    g = nullptr;
}

int t_open(int* argc, char** argv, TrayWindowProcFn proc, char* error, size_t error_size) {
    try {
        if (g) {
            snprintf(error, error_size, "The desktop is already open");
            return 1;
        }
        if (!check_display(*argc, argv, error, error_size)) return 1;
        g = new Backend;
        g->proc = proc;
        // QApplication keeps the count and the vector: both are the host's
        // private copies, which live until close.
        g->app = new QApplication(*argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        g->owner = new QObject;
        g->filter = new Filter;
        g->app->installEventFilter(g->filter);
        g->default_icon = keep_icon(drawn_icon());

        g->status_notifier = status_notifier_desktop();
        if (QDBusConnection::sessionBus().isConnected()) {
            auto* watcher = new QDBusServiceWatcher(kWatcherService, QDBusConnection::sessionBus(),
                                                    QDBusServiceWatcher::WatchForRegistration, g->owner);
            QObject::connect(watcher, &QDBusServiceWatcher::serviceRegistered, g->owner,
                             [](const QString&) { deliver_later(kTaskbarCreated, 0, 0); });
        }
        g->icon = new QSystemTrayIcon;
        QObject::connect(g->icon, &QSystemTrayIcon::activated, g->owner, [](QSystemTrayIcon::ActivationReason reason) {
            try {
                on_activated(reason);
            } catch (...) {
            }
        });
        if (g->status_notifier) {
            export_icon_menu();
            g->tip_timer = new QTimer(g->owner);
            g->tip_timer->setInterval(kToolTipIntervalMs);
            QObject::connect(g->tip_timer, &QTimer::timeout, g->owner,
                             [] { deliver(TRAY_MSG_ICON, 100, TRAY_MOUSE_MOVE); });
        }
        g->window_open = true;
        return 0;
    } catch (const std::exception& e) {
        snprintf(error, error_size, "Can't open the desktop: %s", e.what());
    } catch (...) {
        snprintf(error, error_size, "Can't open the desktop");
    }
    try {
        release();
    } catch (...) {
    }
    return 1;
}

void t_close() {
    try {
        release();
    } catch (...) {
    }
}

uint32_t t_shell_version() { return 6; }

uint32_t t_taskbar_created_message() { return kTaskbarCreated; }

uint32_t t_double_click_time() {
    try {
        int ms = QApplication::doubleClickInterval();
        return ms > 0 ? static_cast<uint32_t>(ms) : 500;
    } catch (...) {
        return 500;
    }
}

QString field_text(const char* field, size_t size) { return QString::fromUtf8(field, static_cast<qsizetype>(strnlen(field, size))); }

int t_notify_icon(uint32_t action, const TrayIconRecord* r) {
    if (!g || !g->icon || !r) return 0;
    g->in_notify++;
    int ok = 1;
    try {
        QSystemTrayIcon* icon = g->icon;
        if (action == TRAY_ICON_DELETE) {
            // Hiding deletes the XEmbed tray's widget. While a popup menu is
            // open that widget still takes part in the menu's mouse
            // handling, so it goes once the menu's loop has returned.
            if (QApplication::activePopupWidget())
                QMetaObject::invokeMethod(icon, &QSystemTrayIcon::hide, Qt::QueuedConnection);
            else
                icon->hide();
            if (g->tip_timer) g->tip_timer->stop();
        } else if (action == TRAY_ICON_ADD || action == TRAY_ICON_MODIFY) {
            if (r->flags & TRAY_NIF_ICON) icon->setIcon(icon_of(r->icon));
            if (r->flags & TRAY_NIF_TIP) icon->setToolTip(field_text(r->tip, sizeof r->tip));
            if (r->flags & TRAY_NIF_INFO) {
                QString text = field_text(r->info, sizeof r->info);
                QSystemTrayIcon::MessageIcon kind = r->info_flags == TRAY_INFO_INFO      ? QSystemTrayIcon::Information
                                                    : r->info_flags == TRAY_INFO_WARNING ? QSystemTrayIcon::Warning
                                                    : r->info_flags == TRAY_INFO_ERROR   ? QSystemTrayIcon::Critical
                                                                                         : QSystemTrayIcon::NoIcon;
                // An empty text asks for no balloon.
                if (!text.isEmpty())
                    icon->showMessage(field_text(r->info_title, sizeof r->info_title), text, kind,
                                      static_cast<int>(r->info_timeout_ms > 0x7FFFFFFFu ? 0x7FFFFFFFu : r->info_timeout_ms));
            }
            if (action == TRAY_ICON_ADD) {
                icon->show();
                if (g->tip_timer && !g->tip_timer->isActive()) g->tip_timer->start();
                // The exported items, for desktops that read them unasked.
                if (g->icon_menu) deliver_later(TRAY_MSG_MENU_OPENING, TRAY_OPENING_REFRESH, 0);
            }
        } else {
            ok = 0;
        }
    } catch (...) {
        ok = 0;
    }
    g->in_notify--;
    return ok;
}

intptr_t t_load_icon(const void* bytes, size_t length) {
    if (!g || !bytes || length == 0 || length > 0x7FFFFFFF) return 0;
    try {
        QByteArray data(static_cast<const char*>(bytes), static_cast<qsizetype>(length));
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer);
        QIcon icon;
        // Every image of the file (an ICO holds several sizes).
        for (int i = 0; i < 64; i++) {
            QImage image = reader.read();
            if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
            if (!reader.jumpToNextImage()) break;
        }
        return keep_icon(icon);
    } catch (...) {
        return 0;
    }
}

intptr_t t_default_icon() { return g ? g->default_icon : 0; }

void t_set_timer(uint32_t id, uint32_t milliseconds) {
    if (!g || !g->window_open) return;
    try {
        QTimer*& timer = g->timers[id];
        if (!timer) {
            timer = new QTimer(g->owner);
            QObject::connect(timer, &QTimer::timeout, g->owner, [id] { deliver(TRAY_MSG_TIMER, id, 0); });
        }
        timer->start(static_cast<int>(milliseconds > 0x7FFFFFFFu ? 0x7FFFFFFFu : milliseconds));
    } catch (...) {
    }
}

void t_kill_timer(uint32_t id) {
    if (!g) return;
    try {
        auto it = g->timers.find(id);
        // Stopped, not deleted: the host kills a timer from its own expiry.
        if (it != g->timers.end()) it->second->stop();
    } catch (...) {
    }
}

int t_post_message(uint32_t message, uintptr_t wparam, intptr_t lparam) {
    try {
        QObject* owner = g ? g->owner : nullptr;
        if (!owner) return 0;
        return QMetaObject::invokeMethod(
                   owner, [message, wparam, lparam] { deliver(message, wparam, lparam); }, Qt::QueuedConnection)
                   ? 1
                   : 0;
    } catch (...) {
        return 0;
    }
}

int t_watch_fd(int fd, uint32_t message) {
    if (!g) return 0;
    try {
        auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, g->owner);
        QObject::connect(notifier, &QSocketNotifier::activated, g->owner,
                         [fd, message] { deliver(message, static_cast<uintptr_t>(fd), 0); });
        g->notifiers.push_back(notifier);
        return 1;
    } catch (...) {
        return 0;
    }
}

int t_run_loop() {
    if (!g) return 0;
    try {
        if (g->quit_posted) return g->quit_code;
        return QApplication::exec();
    } catch (...) {
        return 1;
    }
}

void t_post_quit(int code) {
    if (!g) return;
    g->quit_posted = true;
    g->quit_code = code;
    try {
        QApplication::exit(code);
    } catch (...) {
    }
}

void t_destroy_window() {
    if (!g || !g->window_open) return;
    try {
        for (auto& [id, timer] : g->timers) timer->stop();
        if (g->tip_timer) g->tip_timer->stop();
        for (QSocketNotifier* n : g->notifiers) n->setEnabled(false);
        // An open popup menu goes with the window: its exec() returns no choice.
        if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
        if (g->icon_menu) clear_icon_menu();
    } catch (...) {
    }
    deliver(TRAY_MSG_DESTROY, 0, 0);
    g->window_open = false;
}

// ---- message box and Execute -------------------------------------------------------------
// The buttons of each button set, in their order (the default-button bits
// count in it), with the code each one returns.
struct BoxButton {
    QMessageBox::StandardButton standard;  // NoButton: a button of its own
    const char* text;
    QMessageBox::ButtonRole role;
    int code;
};
constexpr int kMaxBoxButtons = 3;
struct ButtonSet {
    int count;
    BoxButton buttons[kMaxBoxButtons];
};
const ButtonSet kButtonSets[] = {
    {1, {{QMessageBox::Ok, nullptr, QMessageBox::AcceptRole, TRAY_IDOK}}},
    {2, {{QMessageBox::Ok, nullptr, QMessageBox::AcceptRole, TRAY_IDOK},
         {QMessageBox::Cancel, nullptr, QMessageBox::RejectRole, TRAY_IDCANCEL}}},
    {3, {{QMessageBox::Abort, nullptr, QMessageBox::RejectRole, TRAY_IDABORT},
         {QMessageBox::Retry, nullptr, QMessageBox::AcceptRole, TRAY_IDRETRY},
         {QMessageBox::Ignore, nullptr, QMessageBox::AcceptRole, TRAY_IDIGNORE}}},
    {3, {{QMessageBox::Yes, nullptr, QMessageBox::YesRole, TRAY_IDYES},
         {QMessageBox::No, nullptr, QMessageBox::NoRole, TRAY_IDNO},
         {QMessageBox::Cancel, nullptr, QMessageBox::RejectRole, TRAY_IDCANCEL}}},
    {2, {{QMessageBox::Yes, nullptr, QMessageBox::YesRole, TRAY_IDYES},
         {QMessageBox::No, nullptr, QMessageBox::NoRole, TRAY_IDNO}}},
    {2, {{QMessageBox::Retry, nullptr, QMessageBox::AcceptRole, TRAY_IDRETRY},
         {QMessageBox::Cancel, nullptr, QMessageBox::RejectRole, TRAY_IDCANCEL}}},
    {3, {{QMessageBox::Cancel, nullptr, QMessageBox::RejectRole, TRAY_IDCANCEL},
         {QMessageBox::NoButton, "&Try Again", QMessageBox::AcceptRole, TRAY_IDTRYAGAIN},
         {QMessageBox::NoButton, "C&ontinue", QMessageBox::AcceptRole, TRAY_IDCONTINUE}}},
};

QMessageBox::Icon box_icon(uint32_t style) {
    switch (style & TRAY_MB_ICONMASK) {
        case TRAY_MB_ICONHAND:
            return QMessageBox::Critical;
        case TRAY_MB_ICONQUESTION:
            return QMessageBox::Question;
        case TRAY_MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case TRAY_MB_ICONASTERISK:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// exec() is the box's loop: the application's timers, notifiers and queued
// calls keep reaching the window procedure while it runs.
int box_exec(const char* text, const char* caption, uint32_t style) {
    uint32_t set = style & TRAY_MB_TYPEMASK;
    if (set >= sizeof kButtonSets / sizeof kButtonSets[0]) return 0;
    const ButtonSet& buttons = kButtonSets[set];
    QMessageBox box(box_icon(style), QString::fromUtf8(caption), QString::fromUtf8(text));
    QPushButton* made[kMaxBoxButtons] = {};
    for (int i = 0; i < buttons.count; i++) {
        const BoxButton& b = buttons.buttons[i];
        made[i] = b.standard != QMessageBox::NoButton ? box.addButton(b.standard)
                                                      : box.addButton(QString::fromUtf8(b.text), b.role);
    }
    int index = static_cast<int>((style & TRAY_MB_DEFMASK) >> 8);
    box.setDefaultButton(made[index < buttons.count ? index : 0]);
    box.setWindowFlag(Qt::WindowStaysOnTopHint);
    g->box = &box;
    g->box_closed = false;
    box.exec();
    g->box = nullptr;
    if (g->box_closed) return TRAY_IDCANCEL;
    QAbstractButton* clicked = box.clickedButton();
    for (int i = 0; i < buttons.count; i++)
        if (clicked && clicked == made[i]) return buttons.buttons[i].code;
    // Closed by the window manager or Escape without a button of its own.
    return TRAY_IDCANCEL;
}

int t_message_box(const char* text, const char* caption, uint32_t style) {
    if (!g || !g->window_open || g->box || !text || !caption) return 0;
    try {
        int code = box_exec(text, caption, style);
        // While it was open the exported items were left alone.
        if (g && g->icon_menu) deliver_later(TRAY_MSG_MENU_OPENING, TRAY_OPENING_REFRESH, 0);
        return code;
    } catch (...) {
        if (g) g->box = nullptr;
        return 0;
    }
}

void t_raise_box() {
    if (!g || !g->box) return;
    try {
        g->box->show();
        g->box->raise();
        g->box->activateWindow();
    } catch (...) {
    }
}

void t_close_box() {
    if (!g || !g->box) return;
    try {
        g->box_closed = true;
        // exec() returns once the current event is done.
        g->box->reject();
    } catch (...) {
    }
}

uint32_t t_box_style_version() { return 6; }

// Qt hands a label to the DBusMenu export with its first '&' turned into
// the DBusMenu mnemonic mark '_' and nothing else changed. The text given to
// Qt is made so that this gives the label's DBusMenu form: the mnemonic as
// "_x", "&&" as a literal '&', a literal '_' as "__".
QString exported_label(const QString& text) {
    QString bus;  // the DBusMenu form
    qsizetype mnemonic = -1;
    for (qsizetype i = 0; i < text.size(); i++) {
        QChar c = text[i];
        if (c == u'&') {
            if (i + 1 == text.size()) break;  // a '&' at the end marks nothing
            c = text[++i];
            if (c != u'&' && c != u'_' && mnemonic < 0) {
                mnemonic = bus.size();
                bus += u'_';
            }
        }
        bus += c;
        if (c == u'_') bus += u'_';
    }
    qsizetype ampersand = bus.indexOf(u'&');
    if (ampersand < 0 || ampersand == bus.size() - 1) return bus;
    // Qt's '&' must stand where the first '_' is, and that must come before
    // the first literal '&'.
    qsizetype underscore = bus.indexOf(u'_');
    if (underscore >= 0 && underscore < ampersand) {
        bus[underscore] = u'&';
        return bus;
    }
    // A literal '&' comes first: an invisible mnemonic (on a zero-width
    // space) goes before it, and a later mnemonic of the label's own is dropped.
    if (mnemonic >= 0) bus.remove(mnemonic, 1);
    return QStringLiteral("&\u200B") + bus;
}

// The accelerator text as a key sequence that the DBusMenu export can carry
// ("Ctrl+O"); empty when the text names no keys.
QKeySequence exported_shortcut(const char* text) {
    if (!*text) return QKeySequence();
    QKeySequence keys = QKeySequence::fromString(QString::fromUtf8(text), QKeySequence::PortableText);
    for (int i = 0; i < keys.count(); i++)
        if (keys[i].key() == Qt::Key_unknown) return QKeySequence();
    return keys;
}

// A choice from the exported menu, once the desktop's menu has closed: the
// command is posted, and the items are made anew after it (the choice
// toggled the check mark of a checkable item here, whatever the script says).
void exported_choice(uint32_t id) {
    if (!g || !g->owner) return;
    QMetaObject::invokeMethod(
        g->owner,
        [id] {
            deliver(TRAY_MSG_COMMAND, id & 0xFFFF, 0);
            if (g) g->icon_menu_stale = true;
            deliver(TRAY_MSG_MENU_OPENING, TRAY_OPENING_REFRESH, 0);
        },
        Qt::QueuedConnection);
}

// Fills `menu` with one level of the tree. The label keeps its '&'
// mnemonics, which Qt shows underlined; the accelerator text follows a tab,
// which QAction shows right-aligned. A run of radio items forms one
// exclusive group. Column breaks are ignored (the item shows as any other):
// QMenu takes none; one taller than the screen wraps into columns, or scrolls.
// An `exported` menu is the one the desktop draws: labels in the form the
// export needs, the accelerator as the item's shortcut when it names keys,
// and each choice posted as a command.
void fill_menu(QMenu* menu, const TrayMenuItem* item, int depth, bool exported) {
    QActionGroup* radio = nullptr;
    for (; item; item = item->next) {
        if (!(item->flags & TRAY_MENU_RADIO)) radio = nullptr;
        if (item->flags & TRAY_MENU_SEPARATOR) {
            menu->addSeparator();
            continue;
        }
        QString text = QString::fromUtf8(item->label);
        if (exported) text = exported_label(text);
        QKeySequence keys = exported && !(item->flags & TRAY_MENU_POPUP) ? exported_shortcut(item->accelerator) : QKeySequence();
        if (item->accelerator[0] && keys.isEmpty()) text += QLatin1Char('\t') + QString::fromUtf8(item->accelerator);
        QAction* action;
        if (item->flags & TRAY_MENU_POPUP) {
            QMenu* sub = menu->addMenu(text);
            if (depth < 64) fill_menu(sub, item->children, depth + 1, exported);
            action = sub->menuAction();
        } else {
            action = menu->addAction(text);
            action->setData(static_cast<uint>(item->id));
            if (item->flags & (TRAY_MENU_CHECKED | TRAY_MENU_RADIO)) {
                action->setCheckable(true);
                action->setChecked((item->flags & TRAY_MENU_CHECKED) != 0);
            }
            if (item->flags & TRAY_MENU_RADIO) {
                if (!radio) {
                    radio = new QActionGroup(menu);
                    radio->setExclusive(true);
                }
                radio->addAction(action);
            }
            if (!keys.isEmpty()) {
                // Shown by the desktop; never a key binding of this hidden menu.
                action->setShortcut(keys);
                action->setShortcutContext(Qt::WidgetShortcut);
            }
            if (exported) {
                uint32_t id = item->id;
                QObject::connect(action, &QAction::triggered, g->owner, [id] {
                    try {
                        exported_choice(id);
                    } catch (...) {
                    }
                });
            }
        }
        if (item->flags & TRAY_MENU_GRAYED) action->setEnabled(false);
        if (item->flags & TRAY_MENU_DEFAULT) {
            QFont font = action->font();
            font.setBold(true);
            action->setFont(font);
        }
    }
}

// Empties the exported menu. Its submenus and radio groups are its children
// and go with their items.
void clear_icon_menu() {
    QMenu* menu = g->icon_menu;
    g->icon_menu_items.clear();
    menu->clear();
    const QObjectList children = menu->children();
    for (QObject* child : children)
        if (qobject_cast<QMenu*>(child) || qobject_cast<QActionGroup*>(child)) delete child;
}

// The icon's context menu becomes the menu that Qt exports to the desktop
// (the icon's "Menu" object). Qt exports it only when it talks to a
// StatusNotifierWatcher itself: otherwise (it chose the XEmbed tray after
// all) the menu is taken back, since there Qt would open it at the pointer.
void export_icon_menu() {
    g->icon_menu = new QMenu;
    g->icon->setContextMenu(g->icon_menu);
    if (!g->icon_menu->platformMenu()) {
        g->icon->setContextMenu(nullptr);
        delete g->icon_menu;
        g->icon_menu = nullptr;
        return;
    }
    // Emitted from the desktop's AboutToShow, before it reads the layout.
    QObject::connect(g->icon_menu, &QMenu::aboutToShow, g->owner, [] {
        try {
            deliver(TRAY_MSG_MENU_OPENING, TRAY_OPENING_SHOW, 0);
        } catch (...) {
        }
    });
}

// Everything of the tree that the menu shows, as bytes to compare.
void menu_key(QByteArray* key, const TrayMenuItem* item, int depth) {
    for (; item; item = item->next) {
        key->append(reinterpret_cast<const char*>(&item->flags), sizeof item->flags);
        key->append(reinterpret_cast<const char*>(&item->id), sizeof item->id);
        key->append(item->label).append('\0').append(item->accelerator).append('\0');
        if ((item->flags & TRAY_MENU_POPUP) && depth < 64) {
            key->append('(');
            menu_key(key, item->children, depth + 1);
            key->append(')');
        }
    }
}

// Items that did not change are left as they are: the desktop's item
// numbers stay valid, and it is not told to read the layout again.
void t_set_icon_menu(const TrayMenuItem* items) {
    if (!g || !g->icon_menu) return;
    try {
        QByteArray key;
        menu_key(&key, items, 1);
        if (key == g->icon_menu_items && !g->icon_menu_stale) return;
        clear_icon_menu();
        if (items) fill_menu(g->icon_menu, items, 1, true);
        g->icon_menu_items = key;
        g->icon_menu_stale = false;
    } catch (...) {
    }
}

// exec() is the menu's modal loop: it returns once the menu has closed.
int t_popup_menu(const TrayMenuItem* items) {
    if (!g || !g->window_open || !items) return 0;
    try {
        QMenu menu;
        fill_menu(&menu, items, 1, false);
        QAction* chosen = menu.exec(QCursor::pos());
        return chosen ? static_cast<int>(chosen->data().toUInt() & 0xFFFF) : 0;
    } catch (...) {
        return 0;
    }
}

// The target as a local file when one exists by that name, else as a URL
// with a scheme. QDesktopServices starts the desktop's opener detached and
// does not wait for it.
int t_execute(const char* target, char* error, size_t error_size) {
    try {
        QString name = QString::fromUtf8(target);
        QUrl url;
        QFileInfo file(name);
        if (!name.isEmpty() && file.exists()) {
            url = QUrl::fromLocalFile(file.absoluteFilePath());
        } else {
            QUrl given(name, QUrl::StrictMode);
            if (given.isValid() && given.scheme().size() > 1) url = given;
        }
        if (url.isEmpty()) {
            snprintf(error, error_size, "no such file or directory");
            return 0;
        }
        if (!QDesktopServices::openUrl(url)) {
            snprintf(error, error_size, "no application opens it");
            return 0;
        }
        return 1;
    } catch (...) {
        snprintf(error, error_size, "the desktop failed");
        return 0;
    }
}

const TrayBackend kBackend = {
    TRAY_BACKEND_ABI,  "qt",          t_open,          t_close,       t_shell_version, t_taskbar_created_message,
    t_double_click_time, t_notify_icon, t_load_icon,    t_default_icon, t_set_timer,    t_kill_timer,
    t_post_message,    t_watch_fd,    t_run_loop,      t_post_quit,   t_destroy_window,
    t_message_box,     t_raise_box,   t_close_box,     t_box_style_version, t_execute,
    t_popup_menu,      t_set_icon_menu,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) const TrayBackend* nimbrel_tray_backend(void) { return &kBackend; }
