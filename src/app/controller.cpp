#include "app/controller.h"

#include "app/logindialog.h"
#include "app/processvalues.h"
#include "app/statusicon.h"
#include "app/traystarter.h"
#include "net/quenloapi.h"
#include "net/statepoll.h"
#include "service/applicationpath.h"
#include "service/launchagent.h"
#include "service/projectroot.h"
#include "service/service.h"

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QPalette>

#include <cstdio>

namespace quenlo {

namespace {

std::optional<QString> defaultProjectRoot()
{
    if (auto registered = registeredProject())
        return registered;
    return resolveProjectRoot(false);
}

} // namespace

QuenloAPI &Controller::RemoteHolder::get()
{
    if (!api)
        api = make ? make() : std::make_unique<QuenloAPI>(true);
    return *api;
}

Controller::Controller(ControllerOptions options)
    : m_options(std::move(options)), m_remote(std::make_shared<RemoteHolder>()), m_work(workQueueLabel)
{
    if (!m_options.findProjectRoot)
        m_options.findProjectRoot = defaultProjectRoot;
    if (!m_options.notifier)
        m_options.notifier = makeSystemNotifier();
    if (!m_options.openUrl)
        m_options.openUrl = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    if (!m_options.terminate)
        m_options.terminate = [] { QCoreApplication::quit(); };
    if (!m_options.askLoginCode)
        m_options.askLoginCode = [] { return LoginDialog::ask(); };
    if (m_options.applicationPath.isEmpty())
        m_options.applicationPath = runningApplicationPath();
    m_remote->make = m_options.makeRemote;
    connect(&m_timer, &QTimer::timeout, this, [this] { queuePoll(true); });
    m_openMenuFallback.setSingleShot(true);
    m_openMenuFallback.setInterval(m_options.openMenuPollingLimitMs);
    connect(&m_openMenuFallback, &QTimer::timeout, this, [this] { schedulePolling(10); });
}

Controller::~Controller()
{
    if (m_statusItem)
        m_statusItem->hide();
    delete m_menu.menu; // the tray icon keeps only a guarded pointer to it
}

void Controller::submitWork(std::function<Continuation()> job)
{
    // The guard is made here, on the GUI thread, while the controller surely exists.
    QPointer<Controller> self(this);
    m_work.submit([self, job = std::move(job)] {
        Continuation then = job();
        if (!then)
            return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, then = std::move(then)] {
                if (self)
                    then();
            },
            Qt::QueuedConnection);
    });
}

void Controller::applicationDidFinishLaunching()
{
    QApplication::setQuitOnLastWindowClosed(false);
    buildMenu();
    createStatusItem();
    setIcon(symbolNormal);
    if (m_options.showTray)
        prepareNotifications();

    if (const auto root = m_options.findProjectRoot())
        m_service = std::make_shared<Service>(*root, m_options.platform);
    if (!m_service)
        m_mode = CompanionMode::NAS;
    else
        m_mode = m_service->nasClient() ? CompanionMode::NASClient : CompanionMode::Local;
    adjustMenuForMode(m_menu, m_mode);

    if (m_service)
        firstServiceCheck();
    schedulePolling(10);
    refresh();
}

void Controller::buildMenu()
{
    m_menu = buildStatusMenu();
    StatusMenu &m = m_menu;
    connect(m.openLibrary, &QAction::triggered, this, &Controller::openLibrary);
    connect(m.addFromClipboard, &QAction::triggered, this, &Controller::addFromClipboard);
    connect(m.openQuenloSettings, &QAction::triggered, this, &Controller::openQuenloSettings);
    connect(m.remoteLoginItem, &QAction::triggered, this, &Controller::configureRemoteLogin);
    connect(m.transcriptionItem, &QAction::triggered, this, &Controller::toggleLocalTranscription);
    connect(m.syncAll, &QAction::triggered, this, &Controller::syncAll);
    for (QAction *item : std::as_const(m.autosyncItems))
        connect(item, &QAction::triggered, this, [this, item] { chooseAutosync(item); });
    connect(m.startupItem, &QAction::triggered, this, &Controller::toggleLaunchAgent);
    connect(m.openProjectFolder, &QAction::triggered, this, &Controller::openProjectFolder);
    connect(m.restartService, &QAction::triggered, this, &Controller::restartService);
    connect(m.quitKeepingService, &QAction::triggered, this, &Controller::quitKeepingService);
    connect(m.quitAndStopService, &QAction::triggered, this, &Controller::quitAndStopService);
    connect(m.menu, &QMenu::aboutToShow, this, [this] { menuWillOpen(m_menu.menu); });
    connect(m.menu, &QMenu::aboutToHide, this, [this] { menuDidClose(m_menu.menu); });
    // Checkable items flip their own mark when clicked; the file or the server decides it.
    for (QAction *item : m.autosyncItems + QList<QAction *>{m.startupItem})
        connect(item, &QAction::triggered, this, [this] { apply(); });
    connect(m.transcriptionItem, &QAction::triggered, this, [this] { renderTranscription(m_menu, m_worker); });
}

void Controller::createStatusItem()
{
    if (!m_options.showTray)
        return;
    m_trayStarter = new TrayStarter(m_options.trayWaitMs, this);
    connect(m_trayStarter, &TrayStarter::ready, this, [this] {
        if (!QSystemTrayIcon::isSystemTrayAvailable())
            std::fputs("quenlo-menubar: no system tray found; supervising without an icon\n", stderr);
        m_statusItem = new QSystemTrayIcon(this);
        m_statusItem->setContextMenu(m_menu.menu);
        m_statusItem->setToolTip(appDisplayName);
        connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                m_menu.menu->popup(QCursor::pos());
        });
        const QString symbol = m_currentSymbol;
        m_currentSymbol.clear();
        setIcon(symbol.isEmpty() ? symbolNormal : symbol);
        m_statusItem->show();
    });
    m_trayStarter->start();
}

void Controller::setIcon(const QString &symbol)
{
    if (symbol == m_currentSymbol)
        return;
    m_currentSymbol = symbol;
    if (!m_statusItem)
        return;
    const QColor ink = QApplication::palette().color(QPalette::WindowText);
    m_statusItem->setIcon(symbolIcon(symbol, ink));
}

void Controller::schedulePolling(double seconds)
{
    m_pollingInterval = seconds;
    m_timer.start(int(seconds * 1000));
}

void Controller::refresh() { queuePoll(false); }

void Controller::queuePoll(bool fromTimer)
{
    // A slow server must not make timer ticks pile up; explicit refreshes always queue.
    if (fromTimer && m_timerPollQueued)
        return;
    if (fromTimer)
        m_timerPollQueued = true;
    const std::shared_ptr<Service> service = m_service;
    const std::shared_ptr<RemoteHolder> remote = m_remote;
    submitWork([this, service, remote, fromTimer]() -> Continuation {
        LocalPoll poll;
        if (service) {
            poll = pollLocal();
        } else {
            poll.state.serviceUp = remote->get().call(QStringLiteral("/healthz"), std::nullopt).ok();
        }
        return [this, poll, fromTimer] {
            if (fromTimer)
                m_timerPollQueued = false;
            m_state = poll.state;
            if (m_state.serviceUp)
                m_serviceBroken = false;
            apply();
            m_worker = poll.worker;
            renderTranscription(m_menu, m_worker);
            Q_EMIT pollApplied();
        };
    });
}

void Controller::apply()
{
    if (!m_menu.menu)
        return;
    const QString symbol = renderMenu(
        m_menu, MenuRendering{m_state, m_serviceBroken, m_flashText, launchAgentEnabled(m_options.platform)});
    setIcon(symbol);
}

void Controller::flash(const QString &text, double seconds)
{
    m_flashText = text;
    const int token = ++m_flashToken;
    apply();
    if (!text.startsWith(QStringLiteral("正在")))
        m_options.notifier->notify(appDisplayName, text);
    Q_EMIT flashed(text);
    QTimer::singleShot(int(seconds * 1000), this, [this, token] {
        if (token != m_flashToken)
            return;
        m_flashText.reset();
        apply();
    });
}

void Controller::firstServiceCheck()
{
    const std::shared_ptr<Service> service = m_service;
    submitWork([this, service]() -> Continuation {
        const ServiceOutcome outcome = service->ensure(true);
        return [this, outcome] {
            m_serviceBroken = outcome.kind == ServiceOutcome::Kind::Failed;
            if (m_serviceBroken)
                flash(QStringLiteral("服务启动失败，请查看 server.log"), 8);
            apply();
        };
    });
    // Right behind the check on the serial queue, whatever its outcome.
    submitWork([this, service]() -> Continuation {
        service->bootstrapYoutubeToolsIfNeeded();
        return [this] { refresh(); };
    });
}

void Controller::menuWillOpen(QMenu *menu)
{
    if (menu != m_menu.menu)
        return;
    refresh();
    schedulePolling(2);
    m_openMenuFallback.start();
}

void Controller::menuDidClose(QMenu *menu)
{
    if (menu != m_menu.menu)
        return;
    m_openMenuFallback.stop();
    schedulePolling(10);
}

} // namespace quenlo
