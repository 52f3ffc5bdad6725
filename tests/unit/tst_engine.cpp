#include "enginefixture.h"
#include "model/identity.h"
#include "service/runcapturing.h"

#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;
using M = Milliseconds;

class TestEngine final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void polls_data()
    {
        QTest::addColumn<int>("status"); // of /api/menu-status; 0: the server goes after the start
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("lines"); // status, first job, worker status; then the symbol
        const QString idle = QStringLiteral("关闭后不再领取转写任务");
        QTest::newRow("menu status") << 200 << QByteArray(R"({"unread":3,"jobs":[{"kind":"zsxq","progress":40}]})")
                                     << QStringList { "服务运行中 · 未读 3 条", "知识星球同步 · 40%", idle,
                                            symbolBusy };
        QTest::newRow("older server") << 404 << QByteArray()
                                      << QStringList { "服务运行中", "知识星球同步 · 50%", idle, symbolBusy };
        QTest::newRow("unreachable") << 0 << QByteArray()
                                     << QStringList { "服务未运行", "本机未配置离线转写", symbolWarning };
    }
    void polls()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        EngineFixture f;
        f.server->route("GET", "/api/menu-status", FakeHttpServer::json(status ? status : 404, body));
        f.server->route(
            "GET", "/api/sync-status", FakeHttpServer::json(200, R"({"zsxq":{"running":true,"progress":50}})"));
        f.start();
        QCOMPARE(f.engine->mode(), CompanionMode::Local);
        QVERIFY(f.settle());
        QCOMPARE(f.server->requestsFor("GET", "/api/menu-status").size(), 2); // at the start, behind the first check
        if (status == 0) {
            f.server.reset();
            f.engine->refresh();
            QVERIFY(f.settle());
        }
        const MenuModel m = f.menu();
        const QStringList lines { m[MenuItem::StatusLine].text, m[MenuItem::Job0].text,
            m[MenuItem::TranscriptionStatus].text, m.symbol };
        QTEST(lines.filter(QRegularExpression(".")), "lines");
    }

    void startUp_data()
    {
        QTest::addColumn<QByteArray>("version"); // what /api/version answers; empty: 500
        QTest::addColumn<bool>("nasClient"); // the root holds ".nas-client.json"
        QTest::addColumn<bool>("started"); // a start was issued: server.log exists
        QTest::addColumn<bool>("failed");
        QTest::newRow("same version kept") << QByteArray(R"({"version":"5"})") << false << false << false;
        QTest::newRow("other version replaced") << QByteArray(R"({"version":"4"})") << false << true << false;
        QTest::newRow("nas client kept") << QByteArray(R"({"version":"5"})") << true << false << false;
        QTest::newRow("nothing answers") << QByteArray() << false << true << true;
    }
    void startUp()
    {
        QFETCH(QByteArray, version);
        QFETCH(bool, nasClient);
        QFETCH(bool, failed);
        const QString failure = QStringLiteral("服务启动失败，请查看 server.log");
        EngineFixture f;
        f.settings.supervisor = { M(100), M(300), M(50) };
        f.settings.flash.startFailure = M(300);
        f.server->route("GET", "/api/version", FakeHttpServer::json(version.isEmpty() ? 500 : 200, version));
        f.server->route("GET", "/api/preferences", FakeHttpServer::json(200, "{}"));
        const QString root = EngineFixture::fakeProject();
        QVERIFY(!nasClient || writeFile(root + "/.nas-client.json", "{}"));
        f.start(root);
        QCOMPARE(f.engine->mode(), nasClient ? CompanionMode::NASClient : CompanionMode::Local);
        QVERIFY(f.settle());
        QTEST(QFile::exists(root + "/server.log"), "started");
        QCOMPARE(f.events, failed ? QStringList { failure } : QStringList());
        // A failure outlives its flash while the server stays down, and goes with the first poll that finds it up.
        QTRY_VERIFY(!f.engine->flashMessage());
        QCOMPARE(f.statusLine(), version.isEmpty() ? failure : QStringLiteral("服务运行中"));
        QCOMPARE(f.engine->serviceBroken(), version.isEmpty());
        f.server->route("GET", "/api/version", FakeHttpServer::json(200, "{}"));
        f.engine->refresh();
        QVERIFY(f.settle());
        QCOMPARE(f.statusLine(), QStringLiteral("服务运行中"));
        QVERIFY(!f.engine->serviceBroken());
    }

    void quitting_data()
    {
        QTest::addColumn<bool>("hang"); // else the poll answers within the quit wait
        QTest::newRow("poll answers in time") << false;
        QTest::newRow("poll hangs") << true;
    }
    void quitting()
    {
        // The engine goes while a poll still runs: quitting waits for it only up to its bound, and its late result
        // touches nothing. Meanwhile the main thread never waits on the server.
        QFETCH(bool, hang);
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
        const QString threads = runCapturing("/bin/sh", { "-c", QString("cat /proc/%1/task/*/comm").arg(getpid()) });
        QVERIFY(threads.split('\n').contains(workQueueLabel.right(15))); // the queue's thread, named after its label
        f.engine.reset();
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(hang ? 2200 : 0);
    }

    void rhythm()
    {
        EngineFixture f;
        f.settings.poll = { M(1000), M(100), M(1500) };
        f.start();
        QVERIFY(f.settle());
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

    void newestFlashOwnsTheLine()
    {
        EngineFixture f;
        f.start();
        QVERIFY(f.settle());
        f.engine->flash(Message::outcome(QStringLiteral("第一条"), M(300)));
        QTest::qWait(100);
        f.engine->flash(Message::outcome(QStringLiteral("正在做第二条"), M(800)));
        QTest::qWait(400); // the first one's time has run out
        QCOMPARE(f.statusLine(), QStringLiteral("正在做第二条"));
        QTRY_COMPARE_WITH_TIMEOUT(f.statusLine(), QStringLiteral("服务运行中"), 1500);
        QCOMPARE(f.events, (QStringList { "第一条", "~正在做第二条" })); // "正在…" is interim: never notified
        QVERIFY(Message::outcome("服务正在重启", M(1)).notifies() && !Message::progress("服务已重启", M(1)).notifies());
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
