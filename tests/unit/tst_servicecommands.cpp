#include "enginefixture.h"
#include "processinfo.h"

#include <QFile>
#include <QtTest>

using namespace quenlo;
using quenlo::test::EngineFixture;

namespace {

/// The engine on a copy of the demo library, with nothing of the fake server in the way:
/// the supervisor starts the real server on a free port.
struct DemoFixture : EngineFixture {
    QString root = test::copyDemoLibrary();
    quint16 port = test::freePort();

    DemoFixture()
    {
        server.reset();
        settings = test::fastSettings(port);
        settings.supervisor.startWait = Milliseconds(2500);
    }
    ~DemoFixture()
    {
        engine.reset();
        test::endListeners(port);
        qunsetenv("DEMO_START_DELAY");
    }
    QList<pid_t> listeners() const { return test::listeningPids(port); }
};

} // namespace

class TestServiceCommands final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void restartReplacesTheServer()
    {
        DemoFixture f;
        f.start(f.root);
        QVERIFY(f.settle(30000));
        QCOMPARE(f.statusLine().left(5), QStringLiteral("服务运行中"));
        const QList<pid_t> before = f.listeners();
        QCOMPARE(before.size(), 1);
        f.engine->restartService();
        QCOMPARE(f.statusLine(), QStringLiteral("正在重启服务…"));
        QVERIFY(f.settle(30000));
        QVERIFY(f.notified().contains(QStringLiteral("服务已重启")));
        const QList<pid_t> after = f.listeners();
        QCOMPARE(after.size(), 1);
        QVERIFY(after != before);
        QVERIFY(!f.engine->serviceBroken());
    }

    void restartWhoseServerAnswersTooLate()
    {
        DemoFixture f;
        f.start(f.root);
        QVERIFY(f.settle(30000));
        qputenv("DEMO_START_DELAY", "3.5"); // past the start wait; inherited by the restarted server
        f.engine->restartService();
        QVERIFY(f.settle(20000));
        QCOMPARE(f.notified().value(0), QStringLiteral("服务没有在 10 秒内响应"));
        QVERIFY(f.engine->serviceBroken());
        QTRY_COMPARE_WITH_TIMEOUT(f.statusLine(),
                                  QStringLiteral("服务启动失败，请查看 server.log"), 4000);
        // Once the late server answers, the next poll clears the failure.
        QVERIFY(test::waitUntil([&] { return httpCall(ServiceAddress{f.port}, "/api/version").status == 200; },
                                std::chrono::seconds(8)));
        f.engine->refresh();
        QVERIFY(f.settle());
        QVERIFY(!f.engine->serviceBroken());
        QCOMPARE(f.statusLine().left(5), QStringLiteral("服务运行中"));
    }

    void restartWithNothingRunningStartsOne()
    {
        DemoFixture f;
        f.start(f.root);
        QVERIFY(f.settle(30000));
        test::endListeners(f.port);
        QVERIFY(f.listeners().isEmpty());
        f.engine->restartService();
        QVERIFY(f.settle(30000));
        QCOMPARE(f.notified().value(0), QStringLiteral("服务已重启"));
        QCOMPARE(f.listeners().size(), 1);
    }

    void quitAndStopEndsTheServerFirst()
    {
        DemoFixture f;
        f.start(f.root);
        QVERIFY(f.settle(30000));
        const pid_t server = f.listeners().value(0);
        QVERIFY(server > 0);
        bool serverGoneAtQuit = false;
        QElapsedTimer clock;
        clock.start();
        f.engine->quitAndStopService();
        QCOMPARE(f.statusLine(), QStringLiteral("正在停止服务…"));
        QVERIFY(f.flashes.size() == 1 && !f.flashes[0].notifies());
        QVERIFY(QTest::qWaitFor([&] {
            if (f.quits > 0)
                serverGoneAtQuit = httpCall(ServiceAddress{f.port}, QStringLiteral("/api/version")).status != 200;
            return f.quits > 0;
        }, 10000));
        qDebug() << "terminated after" << clock.elapsed() << "ms; listeners" << f.listeners() << "pid" << server
                 << test::processRunning(server);
        QCOMPARE(f.quits, 1);
        QVERIFY(serverGoneAtQuit);
        QVERIFY(QTest::qWaitFor([&] { return !test::processRunning(server); }, 3000));
    }

    void quitKeepsTheServer()
    {
        DemoFixture f;
        f.start(f.root);
        QVERIFY(f.settle(30000));
        f.engine->quitKeepingService();
        QCOMPARE(f.quits, 1);
        f.engine.reset();
        QCOMPARE(httpCall(ServiceAddress{f.port}, QStringLiteral("/api/version")).status, qint64(200));
    }

    void firstCheckFailureIsShownAndStays()
    {
        DemoFixture f;
        QFile::remove(f.root + "/runtime-python");
        f.start(f.root);
        QVERIFY(f.settle(30000));
        QCOMPARE(f.notified(), QStringList{"服务启动失败，请查看 server.log"});
        QVERIFY(f.engine->serviceBroken());
        // After its time the message stays, now as the state of a server that is still down.
        QTRY_VERIFY_WITH_TIMEOUT(!f.engine->flashMessage(), 4000);
        QCOMPARE(f.statusLine(), QStringLiteral("服务启动失败，请查看 server.log"));
        QCOMPARE(f.menu().symbol, symbolWarning);
    }
};

QTEST_GUILESS_MAIN(TestServiceCommands)
#include "tst_servicecommands.moc"
