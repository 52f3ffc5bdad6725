// How the demo library runs as a process: its port, its two output streams, its clean end on
// SIGTERM and SIGINT, its refusals to start, and the knobs the supervisor's tests rely on.

#include "app/processvalues.h"
#include "demoserver.h"
#include "fakehttpserver.h"
#include "net/localapi.h"
#include "processinfo.h"
#include "scripttools.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QtTest>

#include <memory>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

class TestDemoLibraryRun final : public QObject {
    Q_OBJECT

    QString m_root;
    quint16 m_port = 0;
    std::unique_ptr<DemoServer> m_demo;

    static bool answers() { return ask(endpoints::version).status == 200; }

private Q_SLOTS:
    void init()
    {
        m_root = copyDemoLibrary();
        m_port = freePort();
        setServicePort(m_port);
        m_demo = std::make_unique<DemoServer>(m_root);
    }

    void cleanup()
    {
        m_demo.reset();
        endListeners(m_port);
    }

    void endsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void endsCleanlyOnSignal()
    {
        QFETCH(int, signal);
        QVERIFY(m_demo->start(m_port));
        QCOMPARE(m_demo->stop(signal), 0);
        QVERIFY(listeningPids(m_port).isEmpty());
        const QString out = m_demo->takeStdout();
        QVERIFY2(out.contains(QStringLiteral("已启动")) && out.contains(QStringLiteral("已停止")), qPrintable(out));
    }

    void outputStreams()
    {
        QVERIFY(m_demo->start(m_port));
        QCOMPARE(ask(endpoints::preferences).status, qint64(200));
        QCOMPARE(m_demo->stop(), 0);
        const QString out = m_demo->takeStdout();
        const QString err = m_demo->takeStderr();
        QVERIFY2(out.contains(QStringLiteral("http://127.0.0.1:%1/").arg(m_port)), qPrintable(out));
        QVERIFY2(!out.contains(QStringLiteral("/api/preferences")), qPrintable(out));
        QVERIFY2(err.contains(QStringLiteral("\"GET /api/preferences HTTP/1.1\" 200")), qPrintable(err));
    }

    void portFromEnvironment()
    {
        QVERIFY(m_demo->launch({}, { QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(m_port) }));
        QVERIFY(waitUntil(answers, 10s));
        QCOMPARE(listeningPids(m_port), QList<pid_t> { m_demo->pid() });
    }

    void argumentBeatsEnvironment()
    {
        const quint16 other = freePort();
        QVERIFY(m_demo->start(m_port, { QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(other) }));
        QVERIFY(listeningPids(other).isEmpty());
    }

    void startRefusals_data()
    {
        QTest::addColumn<QString>("port"); // empty: one that is taken
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("port in use") << QString() << 1 << QStringLiteral("无法监听");
        QTest::newRow("port not a number") << QStringLiteral("80a") << 2 << QStringLiteral("端口无效");
        QTest::newRow("port out of range") << QStringLiteral("70000") << 2 << QStringLiteral("端口无效");
        QTest::newRow("port zero") << QStringLiteral("0") << 2 << QStringLiteral("端口无效");
    }
    void startRefusals()
    {
        QFETCH(QString, port);
        QFETCH(int, exitCode);
        QFETCH(QString, complaint);
        FakeHttpServer holder;
        QVERIFY(m_demo->launch({ port.isEmpty() ? QString::number(holder.port()) : port }));
        QCOMPARE(m_demo->waitForExit(10000), exitCode);
        const QString err = m_demo->takeStderr();
        QVERIFY2(err.contains(complaint), qPrintable(err));
        QVERIFY(m_demo->takeStdout().isEmpty());
    }

    void unreadableAutosyncFileIsKept()
    {
        const QByteArray broken("{\"hours\": 6,");
        QVERIFY(writeFile(m_root + QStringLiteral("/autosync.json"), broken));
        QVERIFY(m_demo->start(m_port));
        QCOMPARE(readAutosync(ask(endpoints::autosyncGet).json().value_or(QJsonObject {})).hours, qint64(0));
        QCOMPARE(readAll(m_root + QStringLiteral("/autosync.json")), broken);
        QCOMPARE(m_demo->stop(), 0);
        QVERIFY(m_demo->takeStderr().contains(QStringLiteral("autosync.json")));
    }

    void statusKnobs()
    {
        QVERIFY(m_demo->start(
            m_port, { QStringLiteral("DEMO_PREFERENCES_STATUS=500"), QStringLiteral("DEMO_MENU_STATUS_STATUS=404") }));
        QCOMPARE(ask(endpoints::preferences).status, qint64(500));
        QCOMPARE(ask(endpoints::menuStatus).status, qint64(404));
        QCOMPARE(ask(endpoints::version).status, qint64(200));
    }

    void ignoringSigterm()
    {
        QVERIFY(m_demo->start(m_port, { QStringLiteral("DEMO_IGNORE_SIGTERM=1") }));
        ::kill(m_demo->pid(), SIGTERM);
        QCOMPARE(m_demo->waitForExit(700), -1);
        QVERIFY(answers());
        QCOMPARE(m_demo->stop(SIGINT), 0);
    }

    void startDelay()
    {
        QVERIFY(m_demo->launch({ QString::number(m_port) }, { QStringLiteral("DEMO_START_DELAY=1.5") }));
        QElapsedTimer clock;
        clock.start();
        QTest::qSleep(600);
        QCOMPARE(ask(endpoints::version).status, qint64(-1));
        QVERIFY(waitUntil(answers, 10s));
        QVERIFY(clock.elapsed() >= 1400);
        QCOMPARE(m_demo->stop(), 0);
    }

    void signalDuringStartDelay()
    {
        QVERIFY(m_demo->launch({ QString::number(m_port) }, { QStringLiteral("DEMO_START_DELAY=30") }));
        QTest::qSleep(500);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(m_demo->stop(), 0);
        QVERIFY(clock.elapsed() < 5000);
    }
};

QTEST_GUILESS_MAIN(TestDemoLibraryRun)
#include "tst_demolibraryrun.moc"
