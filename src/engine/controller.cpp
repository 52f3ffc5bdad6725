#include "engine/controller.h"

#include "engine/commandmessages.h"
#include "engine/localbackend.h"
#include "engine/nasbackend.h"
#include "model/identity.h"
#include "net/quenloapi.h"
#include "service/applicationpath.h"
#include "service/launchagent.h"
#include "service/projectroot.h"

namespace quenlo {

namespace {

std::optional<QString> defaultProjectRoot()
{
    if (auto registered = registeredProject())
        return registered;
    return resolveProjectRoot(false);
}

} // namespace

Controller::Controller(ControllerOptions options)
    : m_options(std::move(options)), m_gate(std::make_shared<Gate>()),
      m_work(workQueueLabel, m_options.settings.quitWait)
{
    m_gate->target = this;
    if (!m_options.findProjectRoot)
        m_options.findProjectRoot = defaultProjectRoot;
    if (!m_options.makeRemote) {
        const NasTimes times = m_options.settings.nas;
        m_options.makeRemote = [times] { return std::make_unique<QuenloAPI>(true, times); };
    }
    if (m_options.applicationPath.isEmpty())
        m_options.applicationPath = runningApplicationPath(m_options.platform.os);
    connect(&m_timer, &QTimer::timeout, this, [this] { queuePoll(true); });
    m_openMenuFallback.setSingleShot(true);
    connect(&m_openMenuFallback, &QTimer::timeout, this, [this] { schedulePolling(m_options.settings.poll.interval); });
}

Controller::~Controller()
{
    std::lock_guard lock(m_gate->mutex);
    m_gate->target = nullptr;
}

void Controller::submitWork(std::function<Continuation()> job)
{
    m_work.submit([gate = m_gate, job = std::move(job)] {
        Continuation then = job();
        if (!then)
            return;
        // Posted under the gate's lock, so never to an engine that is being destroyed; one that
        // goes before the event is delivered takes its pending events with it.
        std::lock_guard lock(gate->mutex);
        if (gate->target)
            QMetaObject::invokeMethod(gate->target, std::move(then), Qt::QueuedConnection);
    });
}

void Controller::start()
{
    if (const auto root = m_options.findProjectRoot())
        m_backend = std::make_shared<LocalBackend>(
            Service(*root, m_options.settings.service, m_options.settings.supervisor, m_options.platform));
    else
        m_backend = std::make_shared<NasBackend>(m_options.makeRemote);
    if (m_backend->supervises())
        firstServiceCheck();
    schedulePolling(m_options.settings.poll.interval);
    refresh();
    Q_EMIT changed();
}

MenuModel Controller::menu() const
{
    std::optional<QString> flashText;
    if (m_flash)
        flashText = m_flash->text;
    MenuModel model = menuModel(MenuInputs{mode(), m_state, m_rendered, m_worker, m_serviceBroken, flashText,
                                           launchAgentEnabled(m_options.platform)});
    model.toolTip = toolTipText(model[MenuItem::StatusLine].text, m_lastPoll, QDateTime::currentDateTime());
    return model;
}

void Controller::apply()
{
    m_rendered = true;
    Q_EMIT changed();
}

void Controller::schedulePolling(Milliseconds interval)
{
    m_pollingInterval = interval;
    m_timer.start(interval);
}

void Controller::refresh() { queuePoll(false); }

void Controller::refreshNow()
{
    if (!m_backend)
        return;
    refresh();
    schedulePolling(m_pollingInterval);
}

void Controller::queuePoll(bool fromTimer)
{
    // A slow server must not make timer ticks pile up; explicit refreshes always queue.
    if (fromTimer && m_timerPollQueued)
        return;
    if (fromTimer)
        m_timerPollQueued = true;
    submitWork([backend = m_backend, fromTimer, this]() -> Continuation {
        const LocalPoll poll = backend->poll();
        return [this, poll, fromTimer] {
            if (fromTimer)
                m_timerPollQueued = false;
            m_state = poll.state;
            if (m_state.serviceUp)
                m_serviceBroken = false;
            m_lastPoll = QDateTime::currentDateTime();
            m_worker.emplace(poll.worker);
            apply();
            Q_EMIT pollApplied();
        };
    });
}

void Controller::flash(const Message &message)
{
    m_flash = message;
    const int token = ++m_flashToken;
    apply();
    Q_EMIT flashed(message);
    QTimer::singleShot(message.duration, this, [this, token] {
        if (token != m_flashToken)
            return;
        m_flash.reset();
        apply();
    });
}

void Controller::firstServiceCheck()
{
    const FlashTimes times = m_options.settings.flash;
    submitWork([backend = m_backend, times, this]() -> Continuation {
        const std::optional<ServiceOutcome> outcome = backend->ensureRunning();
        return [this, outcome, times] {
            m_serviceBroken = outcome && outcome->kind == ServiceOutcome::Kind::Failed;
            if (m_serviceBroken)
                flash(Message::outcome(QStringLiteral("服务启动失败，请查看 server.log"), times.startFailure));
            apply();
        };
    });
    // Right behind the check on the serial queue, whatever its outcome.
    submitWork([backend = m_backend, this]() -> Continuation {
        backend->prepareTools();
        return [this] { refresh(); };
    });
}

void Controller::menuOpened()
{
    refresh();
    schedulePolling(m_options.settings.poll.openMenuInterval);
    m_openMenuFallback.start(m_options.settings.poll.openMenuLimit);
}

void Controller::menuClosed()
{
    m_openMenuFallback.stop();
    schedulePolling(m_options.settings.poll.interval);
}

// Commands

void Controller::requestOpen(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (url.isValid())
        Q_EMIT openRequested(url);
}

void Controller::openLibrary() { requestOpen(m_backend->libraryUrl()); }

void Controller::openQuenloSettings() { requestOpen(quenloOrigin() + QStringLiteral("/?settings=general")); }

void Controller::addFromClipboard(const QString &clipboard)
{
    const FlashTimes times = m_options.settings.flash;
    const ClipboardText clip = prepareClipboardText(clipboard);
    if (clip.message) {
        flash(Message::outcome(*clip.message, times.brief));
        return;
    }
    flash(Message::progress(QStringLiteral("正在收入Quenlo…"), times.working));
    const bool local = m_backend->supervises();
    submitWork([backend = m_backend, text = clip.text, times, local, this]() -> Continuation {
        const QString message = backend->addLink(text);
        return [this, message, times, local] {
            flash(Message::outcome(message, times.added));
            // The NAS has no queue this menu shows.
            if (local)
                refresh();
        };
    });
}

void Controller::syncAll()
{
    const FlashTimes times = m_options.settings.flash;
    flash(Message::progress(QStringLiteral("正在提交更新请求…"), times.submitting));
    submitWork([server = m_options.settings.service, times, this]() -> Continuation {
        const QString message = syncAllMessage(ask(server, endpoints::syncAll, syncAllBody()));
        return [this, message, times] {
            flash(Message::outcome(message, times.brief));
            refresh();
        };
    });
}

void Controller::chooseAutosync(qint64 hours)
{
    const FlashTimes times = m_options.settings.flash;
    submitWork([server = m_options.settings.service, hours, times, this]() -> Continuation {
        const QString message = autosyncSetMessage(ask(server, endpoints::autosyncSet, autosyncBody(hours)), hours);
        return [this, message, times] {
            flash(Message::outcome(message, times.brief));
            refresh();
        };
    });
}

void Controller::toggleLocalTranscription()
{
    const FlashTimes times = m_options.settings.flash;
    submitWork([server = m_options.settings.service, times, this]() -> Continuation {
        const bool wanted = nextTranscriptionSetting(ask(server, endpoints::transcriptionGet));
        const QString message = transcriptionSetMessage(ask(server, endpoints::transcriptionSet, transcriptionBody(wanted)));
        return [this, message, times] {
            flash(Message::outcome(message, times.added));
            refresh();
        };
    });
}

void Controller::logIn(const QString &code)
{
    const FlashTimes times = m_options.settings.flash;
    submitWork([backend = m_backend, code, times, this]() -> Continuation {
        const std::optional<QString> message = backend->logIn(code);
        if (!message)
            return {};
        return [this, message = *message, times] { flash(Message::outcome(message, times.brief)); };
    });
}

void Controller::toggleLaunchAgent()
{
    const PlatformTable &table = m_options.platform;
    const Milliseconds brief = m_options.settings.flash.brief;
    const std::optional<QString> failure = launchAgentEnabled(table)
                                               ? disableLaunchAgent(table)
                                               : enableLaunchAgent(m_options.applicationPath, table);
    if (failure) {
        flash(Message::outcome(*failure, brief));
        return;
    }
    flash(Message::outcome(launchAgentEnabled(table) ? QStringLiteral("已设为开机自动启动")
                                                     : QStringLiteral("已取消开机自动启动"),
                           brief));
}

void Controller::openProjectFolder()
{
    if (const std::optional<QString> folder = m_backend->projectFolder())
        Q_EMIT openRequested(QUrl::fromLocalFile(*folder));
}

void Controller::restartService()
{
    if (!m_backend->supervises()) {
        refresh();
        return;
    }
    const FlashTimes times = m_options.settings.flash;
    flash(Message::progress(QStringLiteral("正在重启服务…"), times.working));
    submitWork([backend = m_backend, times, this]() -> Continuation {
        const ServiceOutcome outcome = backend->restart();
        return [this, outcome, times] {
            const bool failed = outcome.kind == ServiceOutcome::Kind::Failed;
            if (failed)
                m_serviceBroken = true;
            flash(Message::outcome(failed ? outcome.message : QStringLiteral("服务已重启"), times.brief));
            refresh();
        };
    });
}

void Controller::quitKeepingService() { Q_EMIT quitRequested(); }

void Controller::quitAndStopService()
{
    if (!m_backend->supervises()) {
        Q_EMIT quitRequested();
        return;
    }
    flash(Message::progress(QStringLiteral("正在停止服务…"), m_options.settings.flash.working));
    submitWork([backend = m_backend, this]() -> Continuation {
        backend->stop();
        return [this] { Q_EMIT quitRequested(); };
    });
}

} // namespace quenlo
