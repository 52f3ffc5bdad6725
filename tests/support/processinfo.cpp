#include "processinfo.h"

#include "testenv.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <chrono>

#include <signal.h>
#include <unistd.h>

namespace quenlo::test {

namespace {

QByteArray procFile(pid_t pid, const char *name)
{
    QFile f(QStringLiteral("/proc/%1/%2").arg(pid).arg(QLatin1String(name)));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QStringList nulSeparated(const QByteArray &bytes)
{
    QStringList parts;
    for (const QByteArray &part : bytes.split('\0')) {
        if (!part.isEmpty())
            parts << QString::fromLocal8Bit(part);
    }
    return parts;
}

/// The fields after "(comm)" in /proc/PID/stat: state, ppid, ...
QList<QByteArray> statFields(pid_t pid)
{
    const QByteArray stat = procFile(pid, "stat");
    const qsizetype close = stat.lastIndexOf(')');
    if (close < 0)
        return {};
    return stat.mid(close + 2).split(' ');
}

} // namespace

QList<pid_t> listeningPids(quint16 port)
{
    QProcess lsof;
    lsof.start(QStringLiteral("/usr/bin/lsof"),
        { QStringLiteral("-ti"), QStringLiteral("tcp:%1").arg(port), QStringLiteral("-sTCP:LISTEN") });
    lsof.waitForFinished(10000);
    QList<pid_t> ids;
    for (const QByteArray &line : lsof.readAllStandardOutput().split('\n')) {
        bool ok = false;
        const int id = line.trimmed().toInt(&ok);
        if (ok && id > 0)
            ids << pid_t(id);
    }
    return ids;
}

bool processRunning(pid_t pid)
{
    if (pid <= 0 || ::kill(pid, 0) != 0)
        return false;
    const QList<QByteArray> fields = statFields(pid);
    // Reparented servers may stay zombies when the system's init does not reap them.
    return !fields.isEmpty() && fields.first() != "Z" && fields.first() != "X";
}

pid_t parentPid(pid_t pid)
{
    const QList<QByteArray> fields = statFields(pid);
    return fields.size() > 1 ? pid_t(fields.at(1).toInt()) : -1;
}

QString workingFolder(pid_t pid)
{
    return QFileInfo(QStringLiteral("/proc/%1/cwd").arg(pid)).symLinkTarget();
}

QStringList commandLine(pid_t pid)
{
    return nulSeparated(procFile(pid, "cmdline"));
}

QStringList environmentOf(pid_t pid)
{
    return nulSeparated(procFile(pid, "environ"));
}

void terminate(pid_t pid, int graceMs)
{
    if (!processRunning(pid))
        return;
    ::kill(pid, SIGTERM);
    if (!waitUntil([pid] { return !processRunning(pid); }, std::chrono::milliseconds(graceMs))) {
        ::kill(pid, SIGKILL);
        waitUntil([pid] { return !processRunning(pid); }, std::chrono::milliseconds(3000));
    }
}

void endListeners(quint16 port, int graceMs)
{
    for (pid_t pid : listeningPids(port)) {
        if (pid != ::getpid())
            terminate(pid, graceMs);
    }
}

} // namespace quenlo::test
