#pragma once

#include "model/settings.h"
#include "platform/platformtable.h"

#include <QString>

#include <optional>

namespace quenlo {

/// \brief What making sure the local server runs came to: kept, started, or failed with a reason.
struct ServiceOutcome {
    enum class Kind { Reused, Started, Failed };

    Kind kind = Kind::Failed;
    QString message; ///< Chinese, for the user; only set when failed

    static ServiceOutcome reused() { return { Kind::Reused, {} }; }
    static ServiceOutcome started() { return { Kind::Started, {} }; }
    static ServiceOutcome failed(const QString &message) { return { Kind::Failed, message }; }

    bool operator==(const ServiceOutcome &) const = default;
};

/// \brief Keeps the library server of one project root running and current.
///
/// The server is an ordinary background process that outlives the companion: it is found
/// again by its port, never by a handle. Every member answers afresh from
/// the file system, the port and the server, so a Service holds no state beyond its root.
///
/// All members except registeredBridge() and nasClient() block for seconds (HTTP probes,
/// the stop and start waits of SupervisorTimes, child processes); call them on the work queue, never the GUI thread.
/// They must not overlap each other: the serial work queue guarantees that.
class Service final {
public:
    explicit Service(QString root, ServiceAddress address = {}, SupervisorTimes times = {},
                     PlatformTable table = currentPlatform());

    const QString &root() const { return m_root; }
    const ServiceAddress &address() const { return m_address; }

    /// The desktop client registered this root, so its service manager runs the server.
    bool registeredBridge() const;
    /// The server is a client of a NAS library (registered bridge, or ".nas-client.json").
    bool nasClient() const;

    /// The digits of APP_VERSION in server.py; nothing when unreadable, not UTF-8 or missing.
    std::optional<QString> expectedVersion() const;
    /// The version the running server reports; nothing without a string "version".
    std::optional<QString> runningVersion() const;
    /// GET /api/version answers 200.
    bool alive() const;
    /// The database probe: /api/menu-status for a NAS client, else /api/preferences, 200.
    bool databaseReadable() const;
    /// Probes every probe interval until the server answers; always probes at least once.
    bool waitAlive(Milliseconds limit) const;
    /// Probes every probe interval until the server no longer answers; always probes at least once.
    bool waitGone(Milliseconds limit) const;

    /// SIGTERM to every process listening on the port (except this one); nothing stronger.
    void killRunning() const;
    /// killRunning(), then up to the stop wait for the server to go.
    void stop() const;
    /// Issues the start; a message for the user when that is impossible, nothing otherwise.
    std::optional<QString> start() const;

    /// Makes sure a usable server runs; with \a allowRestart a server of another version
    /// than server.py on disk is replaced.
    ServiceOutcome ensure(bool allowRestart) const;
    /// Stops whatever listens on the port and starts the server anew.
    ServiceOutcome restart() const;

    /// Rebuilds the project's video download tools in the background when they are missing
    /// or stale. Never waits for the rebuild, never reports anything.
    void bootstrapYoutubeToolsIfNeeded() const;

private:
    bool waitFor(bool up, Milliseconds limit) const;

    QString m_root;
    ServiceAddress m_address;
    SupervisorTimes m_times;
    PlatformTable m_table;
};

} // namespace quenlo
