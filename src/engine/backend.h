#pragma once

#include "engine/menumodel.h"
#include "net/statepoll.h"
#include "service/service.h"

#include <QString>

#include <optional>

namespace quenlo {

/// \brief What the engine asks of the library it serves: the supervised local server, or the
/// NAS reached over HTTPS.
///
/// The const members answer at once on the GUI thread. The others block (HTTP, processes,
/// waits) and run only on the engine's work queue, one at a time; they return values, never
/// touch the menu, and a backend outlives any job that still holds it.
class Backend {
public:
    virtual ~Backend() = default;

    virtual CompanionMode mode() const = 0;
    /// What "打开Quenlo" opens.
    virtual QString libraryUrl() const = 0;
    /// The project folder, when there is one on this machine.
    virtual std::optional<QString> projectFolder() const = 0;
    /// A local server is started, restarted and stopped by the companion.
    virtual bool supervises() const = 0;

    virtual LocalPoll poll() = 0;
    /// The check at start: nothing when there is no server to supervise.
    virtual std::optional<ServiceOutcome> ensureRunning() = 0;
    /// Rebuilds the project's video tools when they are missing (never waits for it).
    virtual void prepareTools() = 0;
    /// Sends a link; the message for the user, whatever came of it.
    virtual QString addLink(const QString &text) = 0;
    virtual ServiceOutcome restart() = 0;
    virtual void stop() = 0;
    /// Logs in with \a code: the message for the user; nothing where there is no login.
    virtual std::optional<QString> logIn(const QString &code) = 0;
};

} // namespace quenlo
