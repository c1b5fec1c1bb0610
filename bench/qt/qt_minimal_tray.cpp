// The smallest Qt 6 tray program: an application, a notification icon with
// the icon file given as the first argument, and the event loop. The tray
// benchmark compares a packed tray program's start, idle CPU time and memory
// with this one on the same display and tray.
#include <QApplication>
#include <QIcon>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QSystemTrayIcon icon(QIcon(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString()));
    icon.setToolTip("Qt");
    icon.show();
    return QApplication::exec();
}
