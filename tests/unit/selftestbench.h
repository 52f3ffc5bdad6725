#pragma once

// What the suites of quenlo-menubar --selftest share: the fixed lines, the project folders,
// and a bench that runs the binary against an in-process stand-in for the library server.

#include "fakehttpserver.h"
#include "selftest/selftest.h"
#include "selftestrun.h"
#include "testenv.h"

#include <QDir>
#include <QtTest>

#include <ctime>
#include <memory>

namespace quenlo::test {

#ifdef Q_OS_MACOS
inline const QString agentExtension = QStringLiteral(".plist");
#else
inline const QString agentExtension = QStringLiteral(".desktop");
#endif

inline const QString passedLine = QStringLiteral("自检全部通过");
inline const QString notPassedLine = QStringLiteral("自检未通过");
inline const QString reused77Line = QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 7）");
inline const QString menuSkipLine = QStringLiteral("SKIP: 菜单状态 /api/menu-status（端点尚未上线）");
inline const QString autosyncSkipLine = QStringLiteral("SKIP: 自动同步 /api/autosync（端点尚未上线）");

/// The OK line of the agent-file check of the run with process id \a pid.
inline QString agentOkLine(qint64 pid)
{
    return QStringLiteral("OK: 开机自启配置：写入、回读、删除都正常（menubar-selftest-%1%2）")
        .arg(pid)
        .arg(agentExtension);
}

/// The whole output of a run on \a root, given the lines of steps 2 to 5.
inline QStringList selfTestLines(const QString &root, const QString &service, const QString &menu,
    const QString &autosync, const QString &agent, bool failed)
{
    return { QStringLiteral("OK: 定位项目目录：") + root, service, menu, autosync, agent,
        failed ? notPassedLine : passedLine };
}

inline QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

/// \a folder with a server.py holding \a script.
inline QString writeProject(
    const QByteArray &script = "APP_VERSION = \"7\"\n", const QString &folder = makeFolder(QStringLiteral("project")))
{
    writeFile(folder + QStringLiteral("/server.py"), script);
    return folder;
}

/// The login-item folder the menu would write to; no self-test may put anything there.
inline QString autostartFolder()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/autostart");
}

/// What every run must hold to: it ended by itself, wrote nothing to stderr, and left the
/// real login item alone.
inline void verifyQuiet(const ChildRun &run)
{
    QVERIFY2(run.finished, run.out.constData());
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(entriesOf(autostartFolder()), QStringList());
}

/// runSelfTest() on \a root in this process with \a settings, TZ=UTC and \a tmp as TMPDIR.
inline ChildRun selfTestHere(const QString &root, const Settings &settings, const QString &tmp)
{
    qputenv("TZ", "UTC");
    tzset();
    // Set only around the run, so that the files catching its output lie elsewhere.
    return runHere([&] {
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", tmp.toLocal8Bit());
        const int status = runSelfTest(root, settings);
        qputenv("TMPDIR", oldTmp);
        return status;
    });
}

/// \brief A stand-in library server whose version is "7", and a temporary folder of its own
/// for each child.
class SelfTestBench final {
public:
    SelfTestBench()
        : m_server(std::make_unique<FakeHttpServer>())
        , m_tmp(makeFolder(QStringLiteral("tmp")))
    {
        m_server->route("GET", "/api/version", FakeHttpServer::json(200, R"({"version": "7"})"));
    }

    FakeHttpServer &server() { return *m_server; }
    const QString &tmp() const { return m_tmp; }

    /// \a binary with \a arguments, the stand-in's port, TZ=UTC and the bench's TMPDIR,
    /// changed further by \a environment.
    ChildRun run(const QStringList &arguments, const QStringList &environment = {}, const QString &workingFolder = {},
        const QString &binary = menubarBinary())
    {
        const QStringList base { QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(m_server->port()),
            QStringLiteral("TZ=UTC"), QStringLiteral("TMPDIR=") + m_tmp };
        return runChild(binary, arguments, base + environment, workingFolder);
    }

    /// selfTestHere() on \a root against the stand-in.
    ChildRun runHere(const QString &root)
    {
        Settings settings;
        settings.service.port = m_server->port();
        return selfTestHere(root, settings, m_tmp);
    }

private:
    std::unique_ptr<FakeHttpServer> m_server;
    QString m_tmp;
};

} // namespace quenlo::test
