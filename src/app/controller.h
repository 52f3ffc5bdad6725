#pragma once

#include "app/notifier.h"
#include "app/statusmenu.h"
#include "app/workqueue.h"
#include "model/menustate.h"
#include "net/localapi.h"
#include "platform/platformtable.h"

#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace quenlo {

class QuenloAPI;
class Service;
class TrayStarter;

/// \brief What the controller needs from its surroundings; the defaults are the real ones.
///
/// Tests replace the project-root lookup, the NAS client, the notifier, URL opening and
/// termination; the application uses the defaults.
struct ControllerOptions {
    /// The project root: the desktop client's registered project, else beside the app or remembered.
    std::function<std::optional<QString>()> findProjectRoot;
    /// Creates the NAS client on the work queue at its first use.
    std::function<std::unique_ptr<QuenloAPI>()> makeRemote;
    std::unique_ptr<Notifier> notifier;
    std::function<void(const QUrl &)> openUrl;
    /// Ends the application (QCoreApplication::quit by default).
    std::function<void()> terminate;
    /// Asks for the NAS login code; nothing when cancelled (the dialog by default).
    std::function<std::optional<QString>()> askLoginCode;
    PlatformTable platform = currentPlatform();
    /// Path the login item starts (the bundle on macOS, the executable on Linux).
    QString applicationPath;
    bool showTray = true;
    /// How long to wait for a StatusNotifierWatcher before falling back to XEmbed.
    int trayWaitMs = 30000;
    /// Some tray hosts never say that the menu closed; fast polling ends by itself after this.
    int openMenuPollingLimitMs = 60000;
};

/// \brief The companion itself: owns the tray icon, the menu, the supervisor and the poll.
///
/// Everything here runs on the GUI thread except what is submitted to work(): every HTTP
/// request, process control and wait. Results come back through submitWork(); the GUI
/// thread never waits for the queue.
class Controller final : public QObject {
    Q_OBJECT
public:
    explicit Controller(ControllerOptions options = {});
    ~Controller() override;

    /// The start-up sequence: menu, icon, mode, first service check, polling.
    void applicationDidFinishLaunching();

    const StatusMenu &statusMenu() const { return m_menu; }
    const MenuState &state() const { return m_state; }
    bool serviceBroken() const { return m_serviceBroken; }
    const std::optional<QString> &flashText() const { return m_flashText; }
    const QString &currentSymbol() const { return m_currentSymbol; }
    CompanionMode mode() const { return m_mode; }
    double pollingInterval() const { return m_pollingInterval; }
    WorkQueue &work() { return m_work; }
    QSystemTrayIcon *trayIcon() const { return m_statusItem; }

    /// Shows \a text in the status line for \a seconds; the newest message owns the line.
    /// A message that does not begin with "正在" is also posted as a notification.
    void flash(const QString &text, double seconds);

public Q_SLOTS:
    void refresh();

    void openLibrary();
    void openQuenloSettings();
    void addFromClipboard();
    void syncAll();
    void chooseAutosync(QAction *item);
    void toggleLocalTranscription();
    void configureRemoteLogin();
    void toggleLaunchAgent();
    void openProjectFolder();
    void restartService();
    void quitKeepingService();
    void quitAndStopService();

    void menuWillOpen(QMenu *menu);
    void menuDidClose(QMenu *menu);

Q_SIGNALS:
    /// A poll's result was applied to the menu.
    void pollApplied();
    /// A message went to the status line (and, unless it begins with "正在", a notification).
    void flashed(const QString &text);

private:
    void buildMenu();
    void createStatusItem();
    void setIcon(const QString &symbol);
    void schedulePolling(double seconds);
    void apply();
    void queuePoll(bool fromTimer);
    void firstServiceCheck();
    using Continuation = std::function<void()>;
    /// Runs \a job on the work queue; the continuation it returns (if any) then runs on the
    /// GUI thread, unless this controller is gone by then.
    void submitWork(std::function<Continuation()> job);
    /// The NAS client, made on its first use on the work queue and shared with queued jobs,
    /// so a job that outlives the controller still has it.
    struct RemoteHolder {
        std::function<std::unique_ptr<QuenloAPI>()> make;
        std::unique_ptr<QuenloAPI> api;
        QuenloAPI &get();
    };

    ControllerOptions m_options;
    QPointer<QSystemTrayIcon> m_statusItem;
    StatusMenu m_menu;
    std::shared_ptr<Service> m_service;
    std::shared_ptr<RemoteHolder> m_remote; // its api is touched only on the work queue
    MenuState m_state;
    std::optional<TranscriptionWorker> m_worker; ///< from the last poll
    bool m_serviceBroken = false;
    std::optional<QString> m_flashText;
    int m_flashToken = 0;
    QTimer m_timer;
    double m_pollingInterval = 0;
    QTimer m_openMenuFallback;
    bool m_timerPollQueued = false;
    CompanionMode m_mode = CompanionMode::NAS;
    QString m_currentSymbol;
    TrayStarter *m_trayStarter = nullptr;
    WorkQueue m_work;
};

} // namespace quenlo
