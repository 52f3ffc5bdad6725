// The supervisor's waits run to their end, with real processes: a server that never comes up,
// and an old server that ignores SIGTERM when it should make way for a new version. The
// waits are shrunk; what counts is that each lasts its SupervisorTimes limit and no longer.

#include "fakehttpserver.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/service.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

namespace {

// Slack for lsof, nohup and the probes around a wait that runs out.
constexpr qint64 slackMs = 1500;

} // namespace

class TestServiceWait final : public QObject {
    Q_OBJECT

    QString m_root;
    quint16 m_port = 0;

private Q_SLOTS:
    void init()
    {
        m_root = copyDemoLibrary();
        m_port = freePort();
    }

    void cleanup()
    {
        endListeners(m_port, 0);
        qunsetenv("DEMO_IGNORE_SIGTERM");
    }

    void interpreterMissing_data()
    {
        QTest::addColumn<bool>("viaRestart");
        QTest::newRow("ensure") << false;
        QTest::newRow("restart") << true;
    }
    void interpreterMissing()
    {
        QFETCH(bool, viaRestart);
        QVERIFY(QFile::remove(m_root + QStringLiteral("/runtime-python")));
        const SupervisorTimes times { 400ms, 800ms, 50ms };
        const Service service(m_root, { m_port }, times);
        QElapsedTimer clock;
        clock.start();
        // nohup itself starts; only the program it should run is missing.
        const ServiceOutcome outcome = viaRestart ? service.restart() : service.ensure(true);
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(outcome.kind, ServiceOutcome::Kind::Failed);
        QVERIFY2(outcome.message.startsWith(QStringLiteral("服务没有在")), qPrintable(outcome.message));
        QVERIFY2(elapsed >= times.startWait.count() && elapsed < times.startWait.count() + slackMs,
            qPrintable(QString::number(elapsed)));
        const QByteArray log = readAll(m_root + QStringLiteral("/server.log"));
        QVERIFY2(log.contains("runtime-python"), log.constData());
    }

    void oldServerIgnoresSigterm()
    {
        qputenv("DEMO_IGNORE_SIGTERM", "1");
        const SupervisorTimes times { 600ms, 5000ms, 50ms };
        const Service service(m_root, { m_port }, times);
        QCOMPARE(service.ensure(true), ServiceOutcome::started());
        const QList<pid_t> first = listeningPids(m_port);
        QCOMPARE(first.size(), 1);
        const pid_t old = first.first();

        // server.py now declares another version; the old server will not go.
        const QString script = m_root + QStringLiteral("/server.py");
        QVERIFY(writeFile(script, readAll(script).replace("APP_VERSION = \"3\"", "APP_VERSION = \"4\"")));
        QElapsedTimer clock;
        clock.start();
        // The start follows the stop wait regardless; the old server then answers the probes.
        QCOMPARE(service.ensure(true), ServiceOutcome::started());
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= times.stopWait.count() && elapsed < times.stopWait.count() + slackMs,
            qPrintable(QString::number(elapsed)));
        QVERIFY(processRunning(old));
        QCOMPARE(listeningPids(m_port), first);
        QCOMPARE(service.runningVersion(), std::optional<QString>(QStringLiteral("3")));
        // The new server could not listen and said so in the shared log.
        QVERIFY(waitUntil([&] { return readAll(m_root + QStringLiteral("/server.log")).contains("无法监听"); }, 5s));
        terminate(old, 0);
        QVERIFY(!processRunning(old));
    }
};

QTEST_GUILESS_MAIN(TestServiceWait)
#include "tst_servicewait.moc"
