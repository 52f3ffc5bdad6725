#pragma once

#include "model/settings.h"

#include <QProcess>
#include <QString>

#include <memory>

namespace quenlo::bench {

/// A free TCP port on 127.0.0.1 (bound, then released).
quint16 freeLoopbackPort();

/// \brief A copy of examples/demo-library in a temporary folder, its server running as our child.
///
/// The copy keeps the demo's own folder clean (server.log, autosync.json). The server's output
/// goes to server.log in the copy, as when the companion starts it. The destructor stops it.
class DemoLibrary final {
public:
    DemoLibrary();
    ~DemoLibrary();
    DemoLibrary(const DemoLibrary &) = delete;
    DemoLibrary &operator=(const DemoLibrary &) = delete;

    /// Starts the server on \a port and waits up to 10 s until /api/version answers 200.
    bool start(quint16 port);
    /// Stand-in video tools that answer as ready, so a companion's start-up check launches no
    /// pip build; then start(\a port).
    bool startWithToolsReady(quint16 port);
    void stop();
    const QString &root() const { return m_root; }
    quint16 port() const { return m_port; }
    /// Where the companion's calls reach it.
    ServiceAddress address() const { return { m_port }; }

private:
    QString m_root;
    quint16 m_port = 0;
    std::unique_ptr<QProcess> m_process;
};

} // namespace quenlo::bench
