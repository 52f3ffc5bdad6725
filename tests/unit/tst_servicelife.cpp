// The supervisor against the demo library as a real, detached server process on a free
// port: starting from nothing, replacing a server of another version, restarting, and the
// database probe after a start.

#include "fakehttpserver.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/service.h"
#include "testenv.h"

#include <QtTest>

#include <signal.h>
#include <unistd.h>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

namespace {

// Limits, not waits: each returns as soon as the server has come or gone. The demo needs about
// 0.2 s to listen and 0.5 s to stop; these leave room for a loaded machine.
const SupervisorTimes roomy { 3000ms, 5000ms, 50ms };

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

const std::optional<QString> three = QStringLiteral("3");

} // namespace

class TestServiceLife final : public QObject {
    Q_OBJECT

    QString m_root;
    quint16 m_port = 0;
    QList<pid_t> m_seen;

    Service service() const { return Service(m_root, { m_port }, roomy); }

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

    qsizetype logCount(const QByteArray &needle) const
    {
        return readAll(m_root + QStringLiteral("/server.log")).count(needle);
    }

private Q_SLOTS:
    void init()
    {
        m_root = copyDemoLibrary();
        m_port = freePort();
        m_seen.clear();
    }

    void cleanup()
    {
        // The servers are the test's own: no need to wait for a graceful end.
        endListeners(m_port, 0);
        for (pid_t pid : std::as_const(m_seen))
            terminate(pid, 0);
        for (const char *name : { "DEMO_PREFERENCES_STATUS", "DEMO_MENU_STATUS_STATUS" })
            qunsetenv(name);
    }

    void startFromNothing()
    {
        const QString log = m_root + QStringLiteral("/server.log");
        QVERIFY(writeFile(log, "earlier line\n"));
        const Service subject = service();
        QVERIFY(!subject.alive());

        QCOMPARE(subject.ensure(true), ServiceOutcome::started());
        const pid_t pid = serverPid();
        QVERIFY(pid > 0);
        QCOMPARE(subject.runningVersion(), three);

        // Detached: not our child, not in our session.
        QVERIFY(parentPid(pid) != ::getpid());
        QVERIFY(::getsid(pid) != ::getsid(0));

        // Started through nohup: a hang-up does not end it.
        QCOMPARE(::kill(pid, SIGHUP), 0);
        QTest::qSleep(300);
        QVERIFY(processRunning(pid));
        QVERIFY(subject.alive());

        // The log keeps what it had and gains the start line (stdout) and request lines (stderr).
        const QByteArray text = readAll(log);
        QVERIFY(text.startsWith("earlier line\n"));
        QVERIFY2(text.contains("已启动") && text.contains("\"GET /api/version HTTP/1.1\" 200")
                && text.contains("\"GET /api/preferences HTTP/1.1\" 200"),
            text.constData());
    }

    void versionChangeOnDisk()
    {
        const Service subject = service();
        QCOMPARE(subject.ensure(true), ServiceOutcome::started());
        const pid_t old = serverPid();
        QVERIFY(setVersionOnDisk(m_root, "4"));

        // Without permission to restart, the old server stays, whatever the versions say.
        QCOMPARE(subject.ensure(false), ServiceOutcome::reused());
        QCOMPARE(serverPid(), old);
        QCOMPARE(subject.runningVersion(), three);

        QCOMPARE(subject.ensure(true), ServiceOutcome::started());
        const pid_t fresh = serverPid();
        QVERIFY(fresh > 0 && fresh != old);
        QVERIFY(!processRunning(old));
        QCOMPARE(subject.runningVersion(), std::optional<QString>(QStringLiteral("4")));
        QCOMPARE(logCount("本地Quenlo 演示库 3 已停止"), 1);
    }

    void restart_data()
    {
        QTest::addColumn<bool>("running");
        QTest::newRow("from nothing") << false;
        QTest::newRow("over a running server") << true;
    }
    void restart()
    {
        QFETCH(bool, running);
        const Service subject = service();
        pid_t old = -1;
        if (running) {
            QCOMPARE(subject.ensure(true), ServiceOutcome::started());
            old = serverPid();
        }
        QCOMPARE(subject.restart(), ServiceOutcome::started());
        const pid_t fresh = serverPid();
        QVERIFY(fresh > 0 && fresh != old);
        if (running)
            QVERIFY(!processRunning(old));
        // No database probe after a restart.
        QCOMPARE(logCount("GET /api/preferences"), running ? 1 : 0);
    }

    void databaseProbeAfterStart_data()
    {
        QTest::addColumn<bool>("nasMarker");
        QTest::addColumn<QByteArray>("preferences");
        QTest::addColumn<QByteArray>("menuStatus");
        QTest::addColumn<bool>("readable");
        QTest::newRow("preferences fail") << false << QByteArray("500") << QByteArray("200") << false;
        QTest::newRow("NAS client asks menu status") << true << QByteArray("500") << QByteArray("200") << true;
    }
    void databaseProbeAfterStart()
    {
        QFETCH(bool, nasMarker);
        QFETCH(QByteArray, preferences);
        QFETCH(QByteArray, menuStatus);
        QFETCH(bool, readable);
        if (nasMarker)
            QVERIFY(writeFile(m_root + QStringLiteral("/.nas-client.json"), "{}"));
        // The server inherits these from the environment the supervisor runs in.
        qputenv("DEMO_PREFERENCES_STATUS", preferences);
        qputenv("DEMO_MENU_STATUS_STATUS", menuStatus);
        const Service subject = service();
        QCOMPARE(subject.ensure(true),
            readable ? ServiceOutcome::started() : ServiceOutcome::failed(QStringLiteral("服务已启动但读不到Quenlo数据")));
        // The server itself was started either way.
        QVERIFY(serverPid() > 0);
        QVERIFY(subject.alive());
    }
};

QTEST_GUILESS_MAIN(TestServiceLife)
#include "tst_servicelife.moc"
