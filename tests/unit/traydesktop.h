#pragma once

// What a Linux desktop gives a tray companion, made per test case: a private session bus
// (dbus-daemon), an X server (Xvfb, since Qt's offscreen platform has no tray at all) and
// the companion binary itself, copied into a demo library so that it supervises that one.

#include "processinfo.h"
#include "testenv.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QString>

#include <memory>

#include <signal.h>
#include <sys/prctl.h>

namespace quenlo::test {

/// Reads one line that \a process prints on standard output, waiting up to \a ms.
inline QString readFirstLine(QProcess &process, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!process.canReadLine() && !deadline.hasExpired()) {
        if (process.state() != QProcess::Running)
            break;
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    return QString::fromUtf8(process.readLine()).trimmed();
}

/// Makes the child of \a process die with the test, so a crashed test leaves no bus or
/// X server behind.
inline void tieToTest(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

/// Ends \a process: SIGTERM, then SIGKILL after \a graceMs.
inline void endProcess(QProcess &process, int graceMs = 3000)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(graceMs)) {
        process.kill();
        process.waitForFinished(3000);
    }
}

/// \brief A session bus of its own, ended with the object.
class PrivateBus final {
public:
    ~PrivateBus() { endProcess(m_process); }

    /// Empty text on success, else why it failed.
    QString start()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            return QStringLiteral("dbus-daemon is not installed");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        tieToTest(m_process);
        m_process.start(daemon,
            { QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                QStringLiteral("--address=unix:dir=") + makeFolder(QStringLiteral("bus")),
                QStringLiteral("--print-address=1") });
        if (!m_process.waitForStarted(5000))
            return QStringLiteral("dbus-daemon did not start");
        m_address = readFirstLine(m_process, 10000);
        return m_address.isEmpty() ? QStringLiteral("dbus-daemon printed no address") : QString();
    }

    const QString &address() const { return m_address; }

private:
    QProcess m_process;
    QString m_address;
};

/// \brief An X server without a window manager or XEmbed tray, ended with the object.
class VirtualScreen final {
public:
    ~VirtualScreen() { endProcess(m_process); }

    /// Empty text on success, else why it failed. The server picks a free display itself.
    QString start()
    {
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            return QStringLiteral("Xvfb is not installed");
        m_process.setStandardErrorFile(makeFolder(QStringLiteral("xvfb")) + QStringLiteral("/xvfb.log"));
        tieToTest(m_process);
        m_process.start(xvfb,
            { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                QStringLiteral("-screen"), QStringLiteral("0"), QStringLiteral("800x600x24") });
        if (!m_process.waitForStarted(5000))
            return QStringLiteral("Xvfb did not start");
        const QString number = readFirstLine(m_process, 15000);
        if (number.isEmpty())
            return QStringLiteral("Xvfb printed no display number");
        m_display = QStringLiteral(":") + number;
        return QString();
    }

    const QString &display() const { return m_display; }

private:
    QProcess m_process;
    QString m_display;
};

/// \brief The real companion in a copy of the demo library, as a desktop session starts it.
///
/// The destructor ends the companion and the demo server it started on its port.
class Companion final {
public:
    Companion() { m_root = copyDemoLibrary(QStringLiteral("tray")); }
    ~Companion() { stop(); }

    const QString &root() const { return m_root; }
    QString log() const { return m_root + QStringLiteral("/server.log"); }

    /// Starts the copy on \a busAddress and \a display with the demo server on \a port;
    /// \a configHome becomes its XDG_CONFIG_HOME (its login item lives there).
    bool start(const QString &busAddress, const QString &display, quint16 port, const QString &configHome,
        const QStringList &extraEnvironment = {})
    {
        m_port = port;
        const QString app = m_root + QStringLiteral("/quenlo-menubar");
        if (!QFile::copy(menubarBinary(), app))
            return false;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // CTest sets offscreen for the widget suites; a tray needs the desktop's platform.
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.remove(QStringLiteral("XDG_CURRENT_DESKTOP"));
        env.insert(QStringLiteral("DISPLAY"), display);
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress);
        env.insert(QStringLiteral("LOCAL_LIBRARY_PORT"), QString::number(port));
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
        for (const QString &entry : extraEnvironment)
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        m_process.setProcessEnvironment(env);
        m_process.setWorkingDirectory(m_root);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        tieToTest(m_process);
        m_process.start(app, {});
        return m_process.waitForStarted(5000);
    }

    /// The same program started once more, as a second click on its menu entry would.
    std::unique_ptr<QProcess> startTwin()
    {
        auto twin = std::make_unique<QProcess>();
        twin->setProcessEnvironment(m_process.processEnvironment());
        twin->setWorkingDirectory(m_root);
        twin->setProcessChannelMode(QProcess::MergedChannels);
        tieToTest(*twin);
        twin->start(m_root + QStringLiteral("/quenlo-menubar"), {});
        twin->waitForStarted(5000);
        return twin;
    }
    void kill()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
    bool running() const { return m_process.state() == QProcess::Running; }
    QProcess *process() { return &m_process; }
    qint64 pid() const { return m_process.processId(); }
    /// What the companion printed so far, for failure messages.
    QString output() { return m_output += QString::fromUtf8(m_process.readAll()); }

    void stop()
    {
        endProcess(m_process);
        if (m_port)
            endListeners(m_port);
        m_port = 0;
    }

private:
    QString m_root;
    QProcess m_process;
    QString m_output;
    quint16 m_port = 0;
};

} // namespace quenlo::test
