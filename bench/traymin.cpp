// The yardstick for the companion's idle footprint: a Qt tray program with the companion's
// own menu (the same 19 items, texts, submenus and icons, built by the same code) and
// nothing behind it, built with the same Qt and flags. What the companion costs beyond this
// is its engine: polling, supervision, the HTTP clients and the secret store.

#include "app/statusicon.h"
#include "app/statusmenu.h"
#include "engine/menumodel.h"

#include <QApplication>
#include <QPalette>
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
    using namespace quenlo;
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
    const MenuState state;
    const MenuModel model = menuModel(MenuInputs{CompanionMode::Local, state, false, std::nullopt, false, std::nullopt, false});
    const StatusMenu menu = buildStatusMenu();
    renderStatusMenu(menu, model);
    QObject::connect(menu[MenuItem::QuitKeepingService], &QAction::triggered, &app, &QApplication::quit);
    QSystemTrayIcon tray(symbolIcon(model.symbol, QApplication::palette().color(QPalette::WindowText)));
    tray.setContextMenu(menu.menu);
    tray.setToolTip(toolTipText(model[MenuItem::StatusLine].text, {}, {}));
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        std::fputs("traymin: no system tray found\n", stderr);
    tray.show();
    return app.exec();
}
