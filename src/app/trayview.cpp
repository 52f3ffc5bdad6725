#include "app/trayview.h"

#include "app/logindialog.h"
#include "app/statusicon.h"
#include "app/traystarter.h"
#include "model/identity.h"

#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDesktopServices>
#include <QMimeData>
#include <QPalette>

#include <cstdio>

namespace quenlo {

QString systemClipboardText()
{
    const QMimeData *data = QGuiApplication::clipboard()->mimeData();
    if (!data)
        return {};
    // Not hasText(): Qt counts a URL list as text and hands it out decoded.
    if (data->hasFormat(QStringLiteral("text/plain")) || data->hasFormat(QStringLiteral("text/plain;charset=utf-8")))
        return data->text();
    if (data->hasUrls() && !data->urls().isEmpty())
        // As written: the decoded form would send "a b" for "a%20b" and turn escapes into text.
        return data->urls().first().toString(QUrl::FullyEncoded);
    return {};
}

TrayView::TrayView(Controller &engine, TrayOptions options) : m_engine(engine), m_options(std::move(options))
{
    if (!m_options.notifier)
        m_options.notifier = makeSystemNotifier();
    if (!m_options.openUrl)
        m_options.openUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    if (!m_options.askLoginCode)
        m_options.askLoginCode = [] { return LoginDialog::ask(); };
    if (!m_options.clipboardText)
        m_options.clipboardText = systemClipboardText;

    m_menu = buildStatusMenu();
    connectActions();
    connect(&m_engine, &Controller::changed, this, &TrayView::render);
    connect(&m_engine, &Controller::flashed, this, [this](const Message &message) {
        if (message.notifies())
            m_options.notifier->notify(appDisplayName, message.text);
    });
    connect(&m_engine, &Controller::openRequested, this, [this](const QUrl &url) { m_options.openUrl(url); });
    // A light/dark switch changes the palette's text colour, which the icon is painted in.
    qApp->installEventFilter(this);
    render();
}

bool TrayView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == qApp && (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::ThemeChange))
        drawIcon();
    return QObject::eventFilter(watched, event);
}

TrayView::~TrayView()
{
    if (m_trayIcon)
        m_trayIcon->hide();
    delete m_menu.menu; // the tray icon keeps only a guarded pointer to it
}

void TrayView::connectActions()
{
    const StatusMenu &m = m_menu;
    Controller *e = &m_engine;
    auto on = [this, &m](MenuItem item, auto slot) { connect(m[item], &QAction::triggered, this, slot); };
    on(MenuItem::OpenLibrary, [e] { e->openLibrary(); });
    on(MenuItem::AddFromClipboard, [this, e] { e->addFromClipboard(m_options.clipboardText()); });
    on(MenuItem::OpenQuenloSettings, [e] { e->openQuenloSettings(); });
    on(MenuItem::RemoteLogin, [this, e] {
        if (const std::optional<QString> code = m_options.askLoginCode())
            e->logIn(*code);
    });
    on(MenuItem::Transcription, [e] { e->toggleLocalTranscription(); });
    on(MenuItem::SyncAll, [e] { e->syncAll(); });
    for (const qint64 hours : autosyncChoices)
        on(autosyncItem(hours), [e, hours] { e->chooseAutosync(hours); });
    on(MenuItem::Startup, [e] { e->toggleLaunchAgent(); });
    on(MenuItem::OpenProjectFolder, [e] { e->openProjectFolder(); });
    on(MenuItem::RestartService, [e] { e->restartService(); });
    on(MenuItem::QuitKeepingService, [e] { e->quitKeepingService(); });
    on(MenuItem::QuitAndStopService, [e] { e->quitAndStopService(); });
    connect(m.menu, &QMenu::aboutToShow, e, &Controller::menuOpened);
    // The age in the tool tip is read afresh whenever the menu opens.
    connect(m.menu, &QMenu::aboutToShow, this, &TrayView::render);
    connect(m.menu, &QMenu::aboutToHide, e, &Controller::menuClosed);
    // Checkable items flip their own mark when clicked; the engine's menu decides it.
    for (QAction *action : m.actions) {
        if (action->isCheckable())
            connect(action, &QAction::triggered, this, &TrayView::render);
    }
}

void TrayView::show()
{
    QApplication::setQuitOnLastWindowClosed(false);
    if (!m_options.showTray)
        return;
    prepareNotifications();
    m_trayStarter = new TrayStarter(int(m_options.trayWait.count()), this);
    connect(m_trayStarter, &TrayStarter::ready, this, [this] {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            std::fputs("quenlo-menubar: no system tray found; supervising without an icon\n", stderr);
        m_trayIcon = new QSystemTrayIcon(this);
        m_trayIcon->setContextMenu(m_menu.menu);
        connect(m_trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                m_menu.menu->popup(QCursor::pos());
        });
        drawIcon();
        m_trayIcon->setToolTip(m_engine.menu().toolTip);
        m_trayIcon->show();
    });
    m_trayStarter->start();
}

void TrayView::render()
{
    const MenuModel model = m_engine.menu();
    renderStatusMenu(m_menu, model);
    if (m_trayIcon)
        m_trayIcon->setToolTip(model.toolTip);
    if (model.symbol != m_symbol) {
        m_symbol = model.symbol;
        drawIcon();
    }
}

void TrayView::drawIcon()
{
    if (!m_trayIcon)
        return;
    const QColor ink = QApplication::palette().color(QPalette::WindowText);
    m_trayIcon->setIcon(symbolIcon(m_symbol, ink));
}

} // namespace quenlo
