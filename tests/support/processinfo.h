#pragma once

#include "testenv.h"

#include <QProcess>

#include <signal.h>
#include <unistd.h>

namespace quenlo::test { // lambdas, as in testenv.h

/// Ids of the processes with a TCP socket listening on \a port (asks /usr/bin/lsof).
inline const auto listeningPids = [](quint16 port) {
    QProcess lsof;
    lsof.start("/usr/bin/lsof", { "-ti", "tcp:" + QString::number(port), "-sTCP:LISTEN" });
    lsof.waitForFinished(10000);
    QList<pid_t> ids;
    for (const QByteArray &line : lsof.readAllStandardOutput().split('\n'))
        if (line.toInt() > 0)
            ids << pid_t(line.toInt());
    return ids;
};
/// The process exists and is not a zombie (a reparented server stays one where init does not reap it).
inline const auto processRunning = [](pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    const QByteArray fields = stat.open(QIODevice::ReadOnly) ? stat.readAll().split(')').last() : QByteArray();
    return fields.size() > 1 && fields[1] != 'Z' && fields[1] != 'X';
};
/// SIGTERM to every other process listening on \a port, SIGKILL to one still there after \a graceMs.
inline const auto endListeners = [](quint16 port, int graceMs = 3000) {
    for (const pid_t pid : listeningPids(port))
        if (pid != ::getpid() && ::kill(pid, SIGTERM) == 0
            && !waitUntil([pid] { return !processRunning(pid); }, std::chrono::milliseconds(graceMs)))
            ::kill(pid, SIGKILL);
};

} // namespace quenlo::test
