#include "controllerfixture.h"
#include "processinfo.h"

#include <QFile>
#include <QtTest>

using namespace quenlo;
using quenlo::test::ControllerFixture;

namespace {

/// The controller on a copy of the demo library, with nothing of the fake server in the way:
/// the supervisor starts the real server on a free port.
struct DemoFixture : ControllerFixture {
    QString root = test::copyDemoLibrary();
    quint16 port = test::freePort();

    DemoFixture()
    {
        server.reset();
        setServicePort(port);
    }
    ~DemoFixture()
    {
        controller.reset();
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
        QCOMPARE(f.controller->statusMenu().statusLine->text().left(5), QStringLiteral("服务运行中"));
        const QList<pid_t> before = f.listeners();
        QCOMPARE(before.size(), 1);
        f.controller->restartService();
        QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("正在重启服务…"));
        QVERIFY(f.settle(30000));
        QVERIFY(f.notified().contains(QStringLiteral("服务已重启")));
        const QList<pid_t> after = f.listeners();
        QCOMPARE(after.size(), 1);
        QVERIFY(after != before);
        QVERIFY(!f.controller->serviceBroken());
    }

    void restartWhoseServerAnswersTooLate()
    {
        DemoFixture f;
        f.start(f.root);
        QVERIFY(f.settle(30000));
        qputenv("DEMO_START_DELAY", "11"); // inherited by the restarted server
        f.controller->restartService();
        QVERIFY(f.settle(40000));
        QCOMPARE(f.notified().value(0), QStringLiteral("服务没有在 10 秒内响应"));
        QVERIFY(f.controller->serviceBroken());
        QTRY_COMPARE_WITH_TIMEOUT(f.controller->statusMenu().statusLine->text(),
                                  QStringLiteral("服务启动失败，请查看 server.log"), 4000);
        // Once the late server answers, the next poll clears the failure.
        QTest::qWait(2000);
        f.controller->refresh();
        QVERIFY(f.settle());
        QVERIFY(!f.controller->serviceBroken());
        QCOMPARE(f.controller->statusMenu().statusLine->text().left(5), QStringLiteral("服务运行中"));
    }

    void restartWithNothingRunningStartsOne()
    {
        DemoFixture f;
        f.start(f.root);
        QVERIFY(f.settle(30000));
        test::endListeners(f.port);
        QVERIFY(f.listeners().isEmpty());
        f.controller->restartService();
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
        f.controller->quitAndStopService();
        QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("正在停止服务…"));
        QVERIFY(f.notes->posted.isEmpty());
        QVERIFY(QTest::qWaitFor([&] {
            if (f.terminated > 0)
                serverGoneAtQuit = httpCall(QStringLiteral("/api/version")).status != 200;
            return f.terminated > 0;
        }, 10000));
        qDebug() << "terminated after" << clock.elapsed() << "ms; listeners" << f.listeners() << "pid" << server
                 << test::processRunning(server);
        QCOMPARE(f.terminated, 1);
        QVERIFY(serverGoneAtQuit);
        QVERIFY(QTest::qWaitFor([&] { return !test::processRunning(server); }, 3000));
    }

    void quitKeepsTheServer()
    {
        DemoFixture f;
        f.start(f.root);
        QVERIFY(f.settle(30000));
        f.controller->quitKeepingService();
        QCOMPARE(f.terminated, 1);
        f.controller.reset();
        QCOMPARE(httpCall(QStringLiteral("/api/version")).status, qint64(200));
    }

    void firstCheckFailureIsShownAndStays()
    {
        DemoFixture f;
        QFile::remove(f.root + "/runtime-python");
        f.start(f.root);
        QVERIFY(f.settle(30000));
        QCOMPARE(f.notified(), QStringList{"服务启动失败，请查看 server.log"});
        QVERIFY(f.controller->serviceBroken());
        // After its 8 s the message stays, now as the state of a server that is still down.
        QTest::qWait(8500);
        QVERIFY(!f.controller->flashText());
        QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("服务启动失败，请查看 server.log"));
        QCOMPARE(f.controller->currentSymbol(), QStringLiteral("exclamationmark.triangle"));
    }
};

QTEST_MAIN(TestServiceCommands)
#include "tst_servicecommands.moc"
