// The smallest Qt 6 tray program with a popup menu: on each right click of
// its icon (the icon file is the first argument) it builds the 200-item
// menu of the tray benchmark's script (180 commands, every tenth with an
// accelerator text, and a separator in every tenth place) and shows it at
// the pointer until it closes, as the tray host's Qt backend does with a
// script's menu.
#include <QApplication>
#include <QCursor>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    QSystemTrayIcon icon(QIcon(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString()));
    QObject::connect(&icon, &QSystemTrayIcon::activated, [](QSystemTrayIcon::ActivationReason reason) {
        if (reason != QSystemTrayIcon::Context) return;
        QMenu menu;
        for (int i = 1; i <= 200; i++) {
            if (i % 10 == 0) {
                menu.addSeparator();
                continue;
            }
            QString text = QStringLiteral("&Command number %1").arg(i);
            if (i % 5 == 0) text += QStringLiteral("\tCtrl+%1").arg(i);
            menu.addAction(text);
        }
        menu.exec(QCursor::pos());
    });
    icon.show();
    return QApplication::exec();
}
