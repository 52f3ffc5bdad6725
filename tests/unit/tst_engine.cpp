#include "enginefixture.h"

#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;
using M = Milliseconds;

class TestEngine final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void startUp_data()
    {
        QTest::addColumn<QByteArray>("version"); // what /api/version answers; empty: 500
        QTest::addColumn<bool>("nasClient"); // the root holds ".nas-client.json"
        QTest::addColumn<QByteArray>("menuStatus"); // the status and body of /api/menu-status
        QTest::addColumn<bool>("started"); // a start was issued: server.log exists
        QTest::addColumn<QStringList>("lines"); // once any flash is over: status, first job, worker status, symbol
        const QString idle = "关闭后不再领取转写任务", failure = "服务启动失败，请查看 server.log";
        QTest::newRow("same version kept")
            << QByteArray(R"({"version":"5"})") << false
            << QByteArray(R"(200 {"unread":3,"jobs":[{"kind":"zsxq","progress":40}]})") << false
            << QStringList { "服务运行中 · 未读 3 条", "知识星球同步 · 40%", idle, symbolBusy };
        QTest::newRow("other version replaced, older server")
            << QByteArray(R"({"version":"4"})") << false << QByteArray("404") << true
            << QStringList { "服务运行中", "知识星球同步 · 50%", idle, symbolBusy };
        QTest::newRow("nas client kept") << QByteArray(R"({"version":"5"})") << true << QByteArray("200 {}") << false
                                         << QStringList { "服务运行中", idle, symbolNormal };
        QTest::newRow("nothing answers") << QByteArray() << false << QByteArray("404") << true
                                         << QStringList { failure, idle, symbolWarning };
    }
    void startUp()
    {
        QFETCH(QByteArray, version);
        QFETCH(bool, nasClient);
        QFETCH(QByteArray, menuStatus);
        QFETCH(QStringList, lines);
        const bool failed = lines.first() == "服务启动失败，请查看 server.log";
        EngineFixture f;
        f.settings.supervisor = { M(100), M(300), M(50) };
        f.settings.flash.startFailure = M(300);
        f.server->route("GET", "/api/version", FakeHttpServer::json(version.isEmpty() ? 500 : 200, version));
        f.server->route("GET", "/api/preferences", FakeHttpServer::json(200, "{}"));
        f.server->route("GET", "/api/menu-status", FakeHttpServer::json(menuStatus.left(3).toInt(), menuStatus.mid(4)));
        f.server->route(
            "GET", "/api/sync-status", FakeHttpServer::json(200, R"({"zsxq":{"running":true,"progress":50}})"));
        const QString root = EngineFixture::fakeProject();
        QVERIFY(!nasClient || writeFile(root + "/.nas-client.json", "{}"));
        f.start(root);
        QSignalSpy applied(f.engine.get(), &Controller::pollApplied);
        QCOMPARE(f.engine->mode(), nasClient ? CompanionMode::NASClient : CompanionMode::Local);
        QVERIFY(f.settle());
        QCOMPARE(f.server->requestsFor("GET", "/api/menu-status").size(), 2); // at the start, behind the first check
        QCOMPARE(applied.size(), 2);
        QTEST(QFile::exists(root + "/server.log"), "started");
        QCOMPARE(f.events, failed ? lines.mid(0, 1) : QStringList());
        QTRY_VERIFY(!f.engine->flashMessage()); // a failure outlives its flash while the server stays down
        QCOMPARE(f.engine->serviceBroken(), failed);
        const MenuModel m = f.menu();
        QStringList seen { m[MenuItem::StatusLine].text, m[MenuItem::Job0].text, m[MenuItem::TranscriptionStatus].text,
            m.symbol };
        QCOMPARE(seen.filter(QRegularExpression(".")), lines);
    }

    void quitting() // while a poll runs: its end is waited for up to the bound; a late result touches nothing
    {
        for (const bool hang : { false, true }) {
            EngineFixture f;
            f.settings.quitWait = M(hang ? 300 : 1500);
            f.start();
            QVERIFY(f.settle());
            FakeHttpServer::Reply slow = FakeHttpServer::json(200, "{}");
            slow.delayMs = 200;
            slow.hang = hang;
            f.server->route("GET", "/api/menu-status", slow);
            f.server->clearRequests();
            QElapsedTimer clock;
            clock.start();
            f.engine->refresh();
            QTRY_COMPARE(f.server->requestsFor("GET", "/api/menu-status").size(), 1);
            QVERIFY(clock.restart() < 500);
            f.engine.reset();
            QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
            QTest::qWait(hang ? 2200 : 0);
        }
    }

    // Jobs run in order; at the end the waiting ones go, and the running one is waited for up to the bound.
    void workQueue()
    {
        auto ran = std::make_shared<QList<int>>();
        auto queue = std::make_unique<WorkQueue>("q", M(200));
        for (int i = 0; i < 5; ++i)
            queue->submit([ran, i] { QThread::msleep(i ? 0 : 50), ran->append(i); });
        QVERIFY(QTest::qWaitFor([&] { return queue->pending() == 0; }, 2000));
        queue->submit([ran] { QThread::msleep(600), ran->append(5); });
        queue->submit([ran] { ran->append(6); });
        QTest::qWait(50);
        QElapsedTimer clock;
        clock.start();
        queue.reset();
        QVERIFY2(clock.elapsed() >= 150 && clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(800);
        QCOMPARE(*ran, (QList<int> { 0, 1, 2, 3, 4, 5 }));
    }

    void timing()
    {
        EngineFixture f;
        f.settings.poll = { M(1000), M(100), M(1500) };
        f.start();
        QVERIFY(f.settle());
        // The newest flash owns the status line; one that begins with "正在" is interim, never notified.
        f.engine->flash(Message::outcome("第一条", M(300)));
        QTest::qWait(100);
        f.engine->flash(Message::outcome("正在做第二条", M(800)));
        QTest::qWait(400); // the first one's time has run out
        QCOMPARE(f.statusLine(), QStringLiteral("正在做第二条"));
        QTRY_COMPARE_WITH_TIMEOUT(f.statusLine(), QStringLiteral("服务运行中"), 1500);
        QCOMPARE(f.events, (QStringList { "第一条", "~正在做第二条" }));
        FakeHttpServer::Reply slow = FakeHttpServer::json(200, "{}");
        slow.delayMs = 300; // three ticks' worth of the open menu's polling
        f.server->route("GET", "/api/menu-status", slow);
        f.server->clearRequests();
        const auto polls = [&f] { return f.server->requestsFor("GET", "/api/menu-status").size(); };
        // Ticks never pile up behind a slow poll; fast polling ends by itself when the menu's close never arrives.
        f.engine->menuOpened();
        QCOMPARE(f.engine->pollingInterval(), M(100));
        int worst = 0;
        for (int i = 0; i < 70; ++i, QTest::qWait(20))
            worst = std::max(worst, f.engine->work().pending());
        QCOMPARE(worst, 2); // the menu's own poll, and one from the timer at a time
        QVERIFY(polls() >= 3);
        QTRY_COMPARE_WITH_TIMEOUT(f.engine->pollingInterval(), M(1000), 500);
        f.engine->menuOpened();
        f.engine->menuClosed();
        QCOMPARE(f.engine->pollingInterval(), M(1000));
        // After a wake the menu must be right at once: refreshNow polls and starts the rhythm anew.
        QTest::qWait(500);
        f.server->clearRequests();
        f.engine->refreshNow();
        QTRY_COMPARE_WITH_TIMEOUT(polls(), 1, 300);
        QTest::qWait(700); // the old rhythm would have ticked by now
        QCOMPARE(polls(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(polls(), 2, 800);
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
