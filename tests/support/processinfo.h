#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace quenlo::test {

/// Ids of the processes with a TCP socket listening on \a port (asks /usr/bin/lsof).
QList<pid_t> listeningPids(quint16 port);
/// The process exists and is not a zombie.
bool processRunning(pid_t pid);
/// Fields of /proc/PID: parent id, working folder, command line and environment.
pid_t parentPid(pid_t pid);
QString workingFolder(pid_t pid);
QStringList commandLine(pid_t pid);
QStringList environmentOf(pid_t pid);
/// SIGTERM to \a pid, then SIGKILL if it is still there after \a graceMs.
void terminate(pid_t pid, int graceMs = 3000);
/// Ends every process listening on \a port (terminate() on each); for test cleanup.
void endListeners(quint16 port, int graceMs = 3000);

} // namespace quenlo::test
