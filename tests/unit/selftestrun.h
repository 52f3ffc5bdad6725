#pragma once

// Runs a self-test binary as a child process, or a self-test function in this process, and
// keeps what it printed, for the self-test suites.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <cstdio>
#include <functional>

#include <unistd.h>

namespace quenlo::test {

/// \brief What one child run printed and how it ended.
struct ChildRun {
    bool finished = false; ///< ended by itself, normally, within the time allowed
    int exitCode = -1;
    qint64 pid = 0;
    QByteArray out;
    QByteArray err;

    /// Standard output as lines. Output that does not end with a line feed gets a last
    /// element saying so, so that a comparison with the expected lines fails.
    QStringList lines() const
    {
        if (out.isEmpty())
            return {};
        QStringList split = QString::fromUtf8(out).split(QLatin1Char('\n'));
        if (split.last().isEmpty())
            split.removeLast();
        else
            split.append(QStringLiteral("<no line feed at the end>"));
        return split;
    }
};

/// \brief Runs \a program with \a arguments and waits up to \a timeoutMs for it to end.
///
/// The child inherits this process's environment (run-isolated's private HOME and XDG
/// folders), changed by \a environment: "NAME=VALUE" sets, a bare "NAME" removes. \a feed
/// writes its standard input; without one the input is closed at once.
inline ChildRun runChild(const QString &program, const QStringList &arguments, const QStringList &environment = {},
    const QString &workingFolder = {}, const std::function<void(QProcess &)> &feed = {}, int timeoutMs = 60000)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString &entry : environment) {
        const qsizetype equals = entry.indexOf(QLatin1Char('='));
        if (equals < 0)
            env.remove(entry);
        else
            env.insert(entry.left(equals), entry.mid(equals + 1));
    }
    QProcess child;
    child.setProcessEnvironment(env);
    if (!workingFolder.isEmpty())
        child.setWorkingDirectory(workingFolder);
    child.start(program, arguments);
    ChildRun run;
    if (!child.waitForStarted(10000))
        return run;
    run.pid = child.processId();
    if (feed)
        feed(child);
    child.closeWriteChannel();
    if (!child.waitForFinished(timeoutMs)) {
        child.kill();
        child.waitForFinished(5000);
    } else {
        run.finished = child.exitStatus() == QProcess::NormalExit;
    }
    run.exitCode = child.exitCode();
    run.out = child.readAllStandardOutput();
    run.err = child.readAllStandardError();
    return run;
}

/// \brief Runs \a work here, its standard output and error caught as a child's would be.
///
/// For self-tests that need settings the binary cannot take (short supervisor waits). The
/// exit code is \a work's result, the process id this process's.
inline ChildRun runHere(const std::function<int()> &work)
{
    ChildRun run;
    QTemporaryFile out, err;
    if (!out.open() || !err.open())
        return run;
    std::fflush(stdout);
    std::fflush(stderr);
    const int savedOut = ::dup(1);
    const int savedErr = ::dup(2);
    ::dup2(out.handle(), 1);
    ::dup2(err.handle(), 2);
    run.exitCode = work();
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut, 1);
    ::dup2(savedErr, 2);
    ::close(savedOut);
    ::close(savedErr);
    run.finished = true;
    run.pid = ::getpid();
    out.seek(0);
    err.seek(0);
    run.out = out.readAll();
    run.err = err.readAll();
    return run;
}

} // namespace quenlo::test
