#pragma once

#include "engine/backend.h"
#include "engine/menumodel.h"
#include "engine/message.h"
#include "engine/workqueue.h"
#include "model/settings.h"
#include "platform/platformtable.h"

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace quenlo {

class QuenloAPI;

/// \brief What the engine needs from its surroundings; empty functions mean the real ones.
struct ControllerOptions {
    Settings settings;
    /// The project root: the desktop client's registered project, else beside the app or remembered.
    std::function<std::optional<QString>()> findProjectRoot;
    /// Creates the NAS client on the work queue at its first use.
    std::function<std::unique_ptr<QuenloAPI>()> makeRemote;
    PlatformTable platform = currentPlatform();
    /// Path the login item starts (the bundle on macOS, the executable on Linux).
    QString applicationPath;
};

/// \brief The companion without widgets: the mode, the polling rhythm, the status line's
/// messages and every command, over one Backend.
///
/// Lives on the GUI thread and never waits there: each blocking step runs on the work queue
/// and its result comes back as a continuation. The menu is a value (menu()) that a view
/// renders whenever changed() is emitted; the view forwards clicks to the slots, posts
/// flashed() results as notifications, opens what openRequested() names and ends the
/// application on quitRequested().
///
/// Usage: construct, connect the signals, then start() once.
class Controller final : public QObject {
    Q_OBJECT
public:
    explicit Controller(ControllerOptions options = {});
    ~Controller() override;

    /// Decides the mode (once), queues the first service check and starts polling.
    void start();

    MenuModel menu() const;
    CompanionMode mode() const { return m_backend ? m_backend->mode() : CompanionMode::NAS; }
    const MenuState &state() const { return m_state; }
    bool serviceBroken() const { return m_serviceBroken; }
    const std::optional<Message> &flashMessage() const { return m_flash; }
    Milliseconds pollingInterval() const { return m_pollingInterval; }
    /// When the last poll answered on the GUI thread; null before the first.
    const QDateTime &lastPoll() const { return m_lastPoll; }
    const Settings &settings() const { return m_options.settings; }
    WorkQueue &work() { return m_work; }

    /// Shows \a message in the status line for its duration; the newest message owns the line.
    void flash(const Message &message);

public Q_SLOTS:
    void refresh();
    /// Polls at once and starts the rhythm anew: after a wake from sleep, or a second start.
    void refreshNow();

    void openLibrary();
    void openQuenloSettings();
    /// Sends \a clipboard (the clipboard's text as the view read it).
    void addFromClipboard(const QString &clipboard);
    void syncAll();
    void chooseAutosync(qint64 hours);
    void toggleLocalTranscription();
    /// Logs in to the NAS with the code the user typed.
    void logIn(const QString &code);
    void toggleLaunchAgent();
    void openProjectFolder();
    void restartService();
    void quitKeepingService();
    void quitAndStopService();

    void menuOpened();
    void menuClosed();

Q_SIGNALS:
    /// menu() may show something else now.
    void changed();
    /// A poll's result was applied.
    void pollApplied();
    /// A message went to the status line; results are to be posted as notifications too.
    void flashed(const Message &message);
    void openRequested(const QUrl &url);
    void quitRequested();

private:
    using Continuation = std::function<void()>;
    /// Runs \a job on the work queue; the continuation it returns (if any) then runs on the
    /// GUI thread, unless this engine is gone by then. A job must not touch the engine.
    void submitWork(std::function<Continuation()> job);
    void schedulePolling(Milliseconds interval);
    void queuePoll(bool fromTimer);
    void firstServiceCheck();
    void apply();
    void requestOpen(const QString &text);

    // Shared with queued jobs: the engine to hand results to, cleared when it goes.
    struct Gate {
        std::mutex mutex;
        QObject *target = nullptr;
    };

    ControllerOptions m_options;
    std::shared_ptr<Backend> m_backend;
    std::shared_ptr<Gate> m_gate;
    MenuState m_state;
    bool m_rendered = false;
    std::optional<std::optional<TranscriptionWorker>> m_worker;
    bool m_serviceBroken = false;
    std::optional<Message> m_flash;
    int m_flashToken = 0;
    QTimer m_timer;
    Milliseconds m_pollingInterval{0};
    QTimer m_openMenuFallback;
    bool m_timerPollQueued = false;
    QDateTime m_lastPoll;
    WorkQueue m_work; // last: destroyed first, before anything a continuation could reach
};

} // namespace quenlo
