// The supervisor against the demo library as a real, detached server process on a free
// port: starting from nothing, reusing, replacing a server of another version, restarting,
// stopping, and the database probe after a start.

#include "app/processvalues.h"
#include "fakehttpserver.h"
#include "net/localapi.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/service.h"
#include "testenv.h"

#include <QFile>
#include <QtTest>

#include <signal.h>
#include <unistd.h>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

namespace {

/// Sets the version in the demo's server.py on disk; the running server keeps its own.
bool setVersionOnDisk(const QString &root, const QByteArray &version)
{
    const QString path = root + QStringLiteral("/server.py");
    QByteArray script = readAll(path);
    const qsizetype at = script.indexOf("APP_VERSION = \"");
    if (at < 0)
        return false;
    const qsizetype close = script.indexOf('"', at + 15);
    script.replace(at + 15, close - at - 15, version);
    return writeFile(path, script);
}

} // namespace

class TestServiceLife final : public QObject {
    Q_OBJECT

    QString m_root;
    quint16 m_port = 0;
    QList<pid_t> m_seen;

    /// The one process listening on the port, remembered for cleanup.
    pid_t serverPid()
    {
        const QList<pid_t> pids = listeningPids(m_port);
        if (pids.size() != 1)
            return -1;
        if (!m_seen.contains(pids.first()))
            m_seen << pids.first();
        return pids.first();
    }

    qsizetype logCount(const QByteArray &needle)
    {
        return readAll(m_root + QStringLiteral("/server.log")).count(needle);
    }

private Q_SLOTS:
    void init()
    {
        m_root = copyDemoLibrary();
        m_port = freePort();
        setServicePort(m_port);
        m_seen.clear();
    }

    void cleanup()
    {
        endListeners(m_port);
        for (pid_t pid : std::as_const(m_seen))
            terminate(pid);
        for (const char *name :
            { "LOCAL_LIBRARY_PORT", "DEMO_PREFERENCES_STATUS", "DEMO_MENU_STATUS_STATUS", "DEMO_START_DELAY" })
            qunsetenv(name);
    }

    void startFromNothing()
    {
        const QString log = m_root + QStringLiteral("/server.log");
        QVERIFY(writeFile(log, "earlier line\n"));
        qputenv("LOCAL_LIBRARY_PORT", QByteArray::number(m_port));
        const Service service(m_root);
        QVERIFY(!service.alive());

        QCOMPARE(service.ensure(true), ServiceOutcome::started());
        const pid_t pid = serverPid();
        QVERIFY(pid > 0);
        QCOMPARE(service.runningVersion(), std::optional<QString>(QStringLiteral("3")));

        // Detached: not our child, not in our session.
        QVERIFY(parentPid(pid) != ::getpid());
        QVERIFY(::getsid(pid) != ::getsid(0));
        QCOMPARE(workingFolder(pid), QDir(m_root).canonicalPath());
        const QStringList arguments = commandLine(pid);
        QVERIFY2(arguments.size() >= 2, qPrintable(arguments.join(QLatin1Char(' '))));
        QCOMPARE(arguments.last(), QString::number(m_port));
        QCOMPARE(arguments.at(arguments.size() - 2), m_root + QStringLiteral("/server.py"));
        QVERIFY(environmentOf(pid).contains(QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(m_port)));

        // Started through nohup: a hang-up does not end it.
        QCOMPARE(::kill(pid, SIGHUP), 0);
        QTest::qSleep(300);
        QVERIFY(processRunning(pid));
        QVERIFY(service.alive());

        // The log keeps what it had and gains the start line (stdout) and request lines (stderr).
        const QByteArray text = readAll(log);
        QVERIFY(text.startsWith("earlier line\n"));
        QVERIFY2(text.contains("已启动") && text.contains("\"GET /api/version HTTP/1.1\" 200")
                && text.contains("\"GET /api/preferences HTTP/1.1\" 200"),
            text.constData());
    }

    void reusedWhenVersionsAgree()
    {
        const Service service(m_root);
        QCOMPARE(service.ensure(true), ServiceOutcome::started());
        const pid_t pid = serverPid();
        const qsizetype starts = logCount("已启动");
        const qsizetype versionAsks = logCount("GET /api/version");
        const qsizetype probes = logCount("GET /api/preferences");

        QCOMPARE(service.ensure(true), ServiceOutcome::reused());
        QCOMPARE(serverPid(), pid);
        QVERIFY(waitUntil([&] { return logCount("GET /api/version") >= versionAsks + 2; }, 2s));
        QTest::qSleep(100);
        QCOMPARE(logCount("GET /api/version"), versionAsks + 2);
        QCOMPARE(logCount("GET /api/preferences"), probes);
        QCOMPARE(logCount("已启动"), starts);
    }

    void versionChangeOnDisk()
    {
        const Service service(m_root);
        QCOMPARE(service.ensure(true), ServiceOutcome::started());
        const pid_t old = serverPid();
        QVERIFY(setVersionOnDisk(m_root, "4"));
        QCOMPARE(service.expectedVersion(), std::optional<QString>(QStringLiteral("4")));

        // Without permission to restart, the old server stays, whatever the versions say.
        QCOMPARE(service.ensure(false), ServiceOutcome::reused());
        QCOMPARE(serverPid(), old);
        QCOMPARE(service.runningVersion(), std::optional<QString>(QStringLiteral("3")));

        QCOMPARE(service.ensure(true), ServiceOutcome::started());
        const pid_t fresh = serverPid();
        QVERIFY(fresh > 0 && fresh != old);
        QVERIFY(!processRunning(old));
        QCOMPARE(service.runningVersion(), std::optional<QString>(QStringLiteral("4")));
        QCOMPARE(logCount("本地Quenlo 演示库 3 已停止"), 1);
    }

    void restartReplacesTheServer()
    {
        const Service service(m_root);
        QCOMPARE(service.ensure(true), ServiceOutcome::started());
        const pid_t old = serverPid();
        QCOMPARE(service.restart(), ServiceOutcome::started());
        const pid_t fresh = serverPid();
        QVERIFY(fresh > 0 && fresh != old);
        QVERIFY(!processRunning(old));
        // No database probe after a restart.
        QCOMPARE(logCount("GET /api/preferences"), 1);
    }

    void restartFromNothing()
    {
        QCOMPARE(Service(m_root).restart(), ServiceOutcome::started());
        QVERIFY(serverPid() > 0);
    }

    void stopEndsTheServer()
    {
        const Service service(m_root);
        QCOMPARE(service.ensure(true), ServiceOutcome::started());
        const pid_t pid = serverPid();
        service.stop();
        QVERIFY(!service.alive());
        QVERIFY(waitUntil([pid] { return !processRunning(pid); }, 3s));
        QVERIFY(listeningPids(m_port).isEmpty());
    }

    void databaseProbeAfterStart_data()
    {
        QTest::addColumn<bool>("nasMarker");
        QTest::addColumn<QByteArray>("preferences");
        QTest::addColumn<QByteArray>("menuStatus");
        QTest::addColumn<QString>("failure"); // empty: started
        const QString unreadable = QStringLiteral("服务已启动但读不到Quenlo数据");
        QTest::newRow("preferences fail") << false << QByteArray("500") << QByteArray("200") << unreadable;
        QTest::newRow("NAS client asks menu status") << true << QByteArray("500") << QByteArray("200") << QString();
        QTest::newRow("NAS client, menu status fails") << true << QByteArray("200") << QByteArray("404") << unreadable;
    }
    void databaseProbeAfterStart()
    {
        QFETCH(bool, nasMarker);
        QFETCH(QByteArray, preferences);
        QFETCH(QByteArray, menuStatus);
        QFETCH(QString, failure);
        if (nasMarker)
            QVERIFY(writeFile(m_root + QStringLiteral("/.nas-client.json"), "{}"));
        qputenv("DEMO_PREFERENCES_STATUS", preferences);
        qputenv("DEMO_MENU_STATUS_STATUS", menuStatus);
        const Service service(m_root);
        QCOMPARE(service.ensure(true), failure.isEmpty() ? ServiceOutcome::started() : ServiceOutcome::failed(failure));
        // The server itself was started either way.
        QVERIFY(serverPid() > 0);
        QVERIFY(service.alive());
    }

    void slowStart()
    {
        qputenv("DEMO_START_DELAY", "2");
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(Service(m_root).ensure(true), ServiceOutcome::started());
        QVERIFY(clock.elapsed() >= 2000);
        QVERIFY(serverPid() > 0);
    }
};

QTEST_GUILESS_MAIN(TestServiceLife)
#include "tst_servicelife.moc"
