#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

#include <signal.h>
#include <sys/types.h>

namespace quenlo::test {

/// \brief The demo library's server.py as a child of the test, its stdout and stderr kept apart.
///
/// The destructor kills a server that is still running.
class DemoServer final {
public:
    explicit DemoServer(QString root);
    ~DemoServer();
    DemoServer(const DemoServer &) = delete;
    DemoServer &operator=(const DemoServer &) = delete;

    /// Runs "runtime-python server.py ARGUMENTS..." in the root, with extra NAME=VALUE
    /// \a environment entries; returns once the interpreter runs, not once it listens.
    bool launch(const QStringList &arguments, const QStringList &environment = {});
    /// launch() with \a port as the argument, then waits up to 10 s until /api/version
    /// answers 200 on that port.
    bool start(quint16 port, const QStringList &environment = {});
    /// Sends \a signal and returns the exit code; -1 when it did not end normally within 10 s.
    int stop(int signal = SIGTERM);
    /// Exit code of a server that ends by itself within \a ms; -1 otherwise.
    int waitForExit(int ms);

    pid_t pid() const;
    bool running() const;
    QString takeStdout();
    QString takeStderr();

private:
    QString m_root;
    std::unique_ptr<QProcess> m_process;
};

struct RawReply {
    int status = -1;
    QByteArray contentType;
    QByteArray body;
};

/// One HTTP/1.0 exchange with 127.0.0.1:\a port over a plain socket, for what httpCall does
/// not show (headers, bodies that are not JSON).
RawReply rawRequest(quint16 port, const QByteArray &method, const QByteArray &path, const QByteArray &body = {});

} // namespace quenlo::test
