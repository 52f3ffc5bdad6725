// The yardstick for the companion's idle footprint: the least a Qt tray program can be, one
// icon with one menu of one item, built with the same Qt and flags as the companion.

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <cstdio>

#ifdef TRAYMIN_WITH_CURL
#include <curl/curl.h>
#endif
#ifdef TRAYMIN_WITH_SECRET
#include <libsecret/secret.h>
#endif

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
#ifdef TRAYMIN_WITH_CURL
    curl_global_init(CURL_GLOBAL_DEFAULT);
#endif
#ifdef TRAYMIN_WITH_SECRET
    // Referenced, so the library is loaded, but never called: no bus is touched.
    if (argc > 99)
        secret_password_clear_sync(nullptr, nullptr, nullptr, nullptr);
#endif
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::transparent);
    {
        QPainter painter(&pixmap);
        painter.setBrush(Qt::white);
        painter.drawEllipse(3, 3, 16, 16);
    }
    QMenu menu;
    QAction *quit = menu.addAction(QStringLiteral("Quit"));
    QObject::connect(quit, &QAction::triggered, &app, &QApplication::quit);
    QSystemTrayIcon tray { QIcon(pixmap) };
    tray.setContextMenu(&menu);
    tray.setToolTip(QStringLiteral("traymin"));
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        std::fputs("traymin: no system tray found\n", stderr);
    tray.show();
    return app.exec();
}
