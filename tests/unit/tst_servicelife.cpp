// The supervisor against the demo library as a real, detached server process on a free port:
// starting from nothing, replacing a server of another version, restarting, the database
// probe after a start, and the two waits that run out (a server that never comes, an old one
// that ignores SIGTERM), each lasting its SupervisorTimes limit and no longer.

#include "fakehttpserver.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/service.h"
#include "testenv.h"

#include <QElapsedTimer>
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
// Slack for lsof, nohup and the probes around a wait that runs out.
constexpr qint64 slackMs = 1500;

const std::optional<QString> three = QStringLiteral("3");

} // namespace

class TestServiceLife final : public QObject {
    Q_OBJECT

    QString m_root;
    quint16 m_port = 0;

    Service service(SupervisorTimes times = roomy) const { return Service(m_root, { m_port }, times); }
    qsizetype logCount(const QByteArray &needle) const { return readAll(m_root + "/server.log").count(needle); }
    bool setVersionOnDisk(const QByteArray &version) const
    {
        const QString path = m_root + QStringLiteral("/server.py");
        return writeFile(path, readAll(path).replace("APP_VERSION = \"3\"", "APP_VERSION = \"" + version + "\""));
    }
    /// The one process listening on the port.
    pid_t serverPid() const
    {
        const QList<pid_t> pids = listeningPids(m_port);
        return pids.size() == 1 ? pids.first() : -1;
    }

private Q_SLOTS:
    void init()
    {
        m_root = copyDemoLibrary();
        m_port = freePort();
    }
    void cleanup()
    {
        // The servers are the test's own: no need to wait for a graceful end.
        endListeners(m_port, 0);
        for (const char *name : { "DEMO_PREFERENCES_STATUS", "DEMO_MENU_STATUS_STATUS", "DEMO_IGNORE_SIGTERM" })
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
        // Detached: not our child, not in our session; started through nohup, so a hang-up does not end it.
        QVERIFY(parentPid(pid) != ::getpid());
        QVERIFY(::getsid(pid) != ::getsid(0));
        QCOMPARE(::kill(pid, SIGHUP), 0);
        QTest::qSleep(300);
        QVERIFY(processRunning(pid) && subject.alive());
        // The log keeps what it had and gains the start line (stdout) and request lines (stderr).
        const QByteArray text = readAll(log);
        QVERIFY2(text.startsWith("earlier line\n") && text.contains("已启动")
                && text.contains("\"GET /api/version HTTP/1.1\" 200") && text.contains("\"GET /api/preferences HTTP/1.1\" 200"),
            text.constData());
    }

    void versionChangeOnDisk()
    {
        const Service subject = service();
        QCOMPARE(subject.ensure(true), ServiceOutcome::started());
        const pid_t old = serverPid();
        QVERIFY(setVersionOnDisk("4"));
        // Without permission to restart, the old server stays, whatever the versions say.
        QCOMPARE(subject.ensure(false), ServiceOutcome::reused());
        QCOMPARE(serverPid(), old);
        QCOMPARE(subject.ensure(true), ServiceOutcome::started());
        const pid_t fresh = serverPid();
        QVERIFY(fresh > 0 && fresh != old && !processRunning(old));
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
        if (running)
            QCOMPARE(subject.ensure(true), ServiceOutcome::started());
        const pid_t old = running ? serverPid() : -1;
        QCOMPARE(subject.restart(), ServiceOutcome::started());
        const pid_t fresh = serverPid();
        QVERIFY(fresh > 0 && fresh != old);
        QVERIFY(!running || !processRunning(old));
        // No database probe after a restart.
        QCOMPARE(logCount("GET /api/preferences"), running ? 1 : 0);
    }

    void databaseProbeAfterStart_data()
    {
        QTest::addColumn<bool>("nasMarker");
        QTest::addColumn<bool>("readable");
        QTest::newRow("preferences fail") << false << false;
        QTest::newRow("NAS client asks menu status") << true << true;
    }
    void databaseProbeAfterStart()
    {
        QFETCH(bool, nasMarker);
        QFETCH(bool, readable);
        if (nasMarker)
            QVERIFY(writeFile(m_root + QStringLiteral("/.nas-client.json"), "{}"));
        // The server inherits these from the environment the supervisor runs in.
        qputenv("DEMO_PREFERENCES_STATUS", "500");
        const Service subject = service();
        QCOMPARE(subject.ensure(true),
            readable ? ServiceOutcome::started() : ServiceOutcome::failed(QStringLiteral("服务已启动但读不到Quenlo数据")));
        // The server itself was started either way.
        QVERIFY(serverPid() > 0 && subject.alive());
    }

    void serverNeverComes_data()
    {
        QTest::addColumn<bool>("viaRestart");
        QTest::newRow("ensure") << false;
        QTest::newRow("restart") << true;
    }
    void serverNeverComes()
    {
        QFETCH(bool, viaRestart);
        // nohup itself starts; only the program it should run is missing.
        QVERIFY(QFile::remove(m_root + QStringLiteral("/runtime-python")));
        const SupervisorTimes times { 400ms, 800ms, 50ms };
        QElapsedTimer clock;
        clock.start();
        const ServiceOutcome outcome = viaRestart ? service(times).restart() : service(times).ensure(true);
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(outcome.kind, ServiceOutcome::Kind::Failed);
        QVERIFY2(outcome.message.startsWith(QStringLiteral("服务没有在")), qPrintable(outcome.message));
        QVERIFY2(elapsed >= times.startWait.count() && elapsed < times.startWait.count() + slackMs,
            qPrintable(QString::number(elapsed)));
        QVERIFY(readAll(m_root + QStringLiteral("/server.log")).contains("runtime-python"));
    }

    void oldServerIgnoresSigterm()
    {
        qputenv("DEMO_IGNORE_SIGTERM", "1");
        const SupervisorTimes times { 600ms, 5000ms, 50ms };
        QCOMPARE(service(times).ensure(true), ServiceOutcome::started());
        const pid_t old = serverPid();
        QVERIFY(old > 0);
        QVERIFY(setVersionOnDisk("4"));
        QElapsedTimer clock;
        clock.start();
        // The start follows the stop wait regardless; the old server then answers the probes.
        QCOMPARE(service(times).ensure(true), ServiceOutcome::started());
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= times.stopWait.count() && elapsed < times.stopWait.count() + slackMs,
            qPrintable(QString::number(elapsed)));
        QCOMPARE(serverPid(), old);
        QCOMPARE(service().runningVersion(), three);
        // The new server could not listen and said so in the shared log.
        QVERIFY(waitUntil([&] { return logCount("无法监听") == 1; }, 5s));
    }
};

QTEST_GUILESS_MAIN(TestServiceLife)
#include "tst_servicelife.moc"
