#include "enginefixture.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace quenlo;
using quenlo::test::EngineFixture;
using quenlo::test::FakeHttpServer;
using M = quenlo::Milliseconds;

class TestEngine final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pollRendersMenuStatus()
    {
        EngineFixture f;
        f.server->route("GET", "/api/menu-status",
                        FakeHttpServer::json(200, R"({"unread":3,"jobs":[{"kind":"zsxq","progress":40},
                           {"label":"B","message":"第二"},{"kind":"all"}],"queue":[{"label":"Q1"},{"kind":"dedao"}],
                           "autosync":{"hours":6,"next":0}})"));
        f.start();
        QCOMPARE(f.engine->mode(), CompanionMode::Local);
        QVERIFY(f.waitForPolls(1));
        QCOMPARE(f.visibleLines(),
                 (QStringList{"服务运行中 · 未读 3 条", "知识星球同步 · 40%", "B · 第二", "排队中：Q1 等 2 个"}));
        const MenuModel m = f.menu();
        QCOMPARE(m.symbol, symbolBusy);
        QVERIFY(m[MenuItem::Autosync6].checked);
        QVERIFY(!m[MenuItem::NextLine].visible);
        QVERIFY(m[MenuItem::Transcription].checked);
        QVERIFY(m[MenuItem::Transcription].enabled);
        QCOMPARE(m[MenuItem::TranscriptionStatus].text, QStringLiteral("关闭后不再领取转写任务"));
        QCOMPARE(f.engine->pollingInterval(), f.settings.poll.interval);
        // The version on disk matched the running one: nothing was stopped or started.
        QVERIFY(!f.engine->serviceBroken());
    }

    void pollFallsBackForOlderServers()
    {
        EngineFixture f;
        f.server->route("GET", "/api/menu-status", FakeHttpServer::json(404, "<html></html>"));
        f.server->route("GET", "/api/sync-status", FakeHttpServer::json(200, R"({"zsxq":{"running":true,"progress":40}})"));
        f.start();
        QVERIFY(f.waitForPolls(1));
        QCOMPARE(f.visibleLines(), (QStringList{"服务运行中", "知识星球同步 · 40%"}));
        QVERIFY(!f.engine->state().unread);
    }

    void unreachableServerShowsDown()
    {
        EngineFixture f;
        f.start();
        QVERIFY(f.waitForPolls(1));
        f.server.reset(); // the port is closed now
        f.engine->refresh();
        QVERIFY(f.waitForPolls(1));
        const MenuModel m = f.menu();
        QCOMPARE(m[MenuItem::StatusLine].text, QStringLiteral("服务未运行"));
        QCOMPARE(m.symbol, symbolWarning);
        QCOMPARE(m[MenuItem::TranscriptionStatus].text, QStringLiteral("本机未配置离线转写"));
        QVERIFY(!m[MenuItem::Transcription].enabled);
    }

    void hangingServerNeverStallsTheMainThread()
    {
        EngineFixture f;
        f.start();
        QVERIFY(f.waitForPolls(1));
        FakeHttpServer::Reply hang;
        hang.hang = true;
        f.server->route("GET", "/api/menu-status", hang);
        f.engine->refresh();
        QElapsedTimer clock;
        clock.start();
        qint64 last = 0;
        qint64 longest = 0;
        QTimer tick;
        QObject::connect(&tick, &QTimer::timeout, [&] {
            longest = std::max(longest, clock.elapsed() - last);
            last = clock.elapsed();
        });
        tick.start(5);
        QVERIFY(f.waitForPolls(1, 10000));
        QVERIFY2(longest < 50, qPrintable(QStringLiteral("longest gap %1 ms").arg(longest)));
        QVERIFY(clock.elapsed() >= 1900); // the poll really waited on the server
    }

    void timerTicksDoNotPileUp()
    {
        EngineFixture f;
        f.settings.poll.openMenuInterval = M(100);
        f.settings.poll.openMenuLimit = M(60000);
        f.start();
        QVERIFY(f.settle());
        // Each poll now takes about 0.6 s, six ticks' worth.
        FakeHttpServer::Reply slow = FakeHttpServer::json(200, "{}");
        slow.delayMs = 600;
        f.server->route("GET", "/api/menu-status", slow);
        f.server->clearRequests();
        f.engine->menuOpened(); // one explicit poll, then fast ticks
        QCOMPARE(f.engine->pollingInterval(), M(100));
        int worst = 0;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 2500) {
            worst = std::max(worst, f.engine->work().pending());
            QTest::qWait(20);
        }
        // Explicit poll plus at most one timer poll at a time, never a growing backlog.
        QVERIFY2(worst <= 2, qPrintable(QString::number(worst)));
        QVERIFY(f.server->requestsFor("GET", "/api/menu-status").size() >= 3);
        f.engine->menuClosed();
        QCOMPARE(f.engine->pollingInterval(), f.settings.poll.interval);
    }

    void openMenuPollingEndsWhenNoCloseArrives()
    {
        EngineFixture f;
        f.start();
        f.engine->menuOpened();
        QCOMPARE(f.engine->pollingInterval(), f.settings.poll.openMenuInterval);
        QTRY_COMPARE_WITH_TIMEOUT(f.engine->pollingInterval(), f.settings.poll.interval, 2000);
        // A close that does arrive still stops the fallback from firing later.
        f.engine->menuOpened();
        f.engine->menuClosed();
        f.engine->menuOpened();
        QTest::qWait(300);
        QCOMPARE(f.engine->pollingInterval(), f.settings.poll.openMenuInterval);
    }

    void refreshNowPollsAtOnceAndRestartsTheRhythm()
    {
        // After a wake or a second start the menu must be right at once, not at the next tick.
        EngineFixture f;
        f.settings.poll.interval = M(1000);
        f.start();
        QVERIFY(f.settle());
        QTest::qWait(500);
        f.server->clearRequests();
        f.engine->refreshNow();
        const auto polls = [&f] { return f.server->requestsFor("GET", "/api/menu-status").size(); };
        QTRY_COMPARE_WITH_TIMEOUT(polls(), 1, 300);
        QTest::qWait(700); // the old rhythm would have ticked by now
        QCOMPARE(polls(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(polls(), 2, 800);
    }

    void newestFlashOwnsTheLine()
    {
        EngineFixture f;
        f.server->route("GET", "/api/menu-status", FakeHttpServer::json(200, R"({"unread":1})"));
        f.start();
        QVERIFY(f.waitForPolls(1));
        f.engine->flash(Message::outcome(QStringLiteral("第一条"), M(300)));
        QTest::qWait(100);
        f.engine->flash(Message::outcome(QStringLiteral("第二条"), M(800)));
        QTest::qWait(400); // the first one's time has run out
        QCOMPARE(f.statusLine(), QStringLiteral("第二条"));
        QTRY_COMPARE_WITH_TIMEOUT(f.statusLine(), QStringLiteral("服务运行中 · 未读 1 条"), 2000);
        QCOMPARE(f.notified(), (QStringList{"第一条", "第二条"}));
    }

    void messageKinds_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("notifies");
        QTest::newRow("interim") << "正在重启服务…" << false;
        QTest::newRow("result") << "服务已重启" << true;
        QTest::newRow("interim word later") << "服务正在重启" << true;
    }
    void messageKinds()
    {
        QFETCH(QString, text);
        QFETCH(bool, notifies);
        QCOMPARE(Message::outcome(text, M(1)).notifies(), notifies);
        QVERIFY(!Message::progress(text, M(1)).notifies());
    }

    void failedFirstStartIsShownAndStays()
    {
        EngineFixture f;
        f.server.reset(); // nothing answers, and the folder has no interpreter to start one
        f.settings.supervisor.startWait = M(300);
        f.start();
        QVERIFY(f.settle(20000));
        QCOMPARE(f.notified(), QStringList{"服务启动失败，请查看 server.log"});
        QCOMPARE(f.flashes.value(0).duration, f.settings.flash.startFailure);
        QVERIFY(f.engine->serviceBroken());
        // After its time the message stays, now as the state of a server that is still down.
        QTRY_VERIFY_WITH_TIMEOUT(!f.engine->flashMessage(), 4000);
        QCOMPARE(f.statusLine(), QStringLiteral("服务启动失败，请查看 server.log"));
        QCOMPARE(f.menu().symbol, symbolWarning);
    }

    void quitWhileAPollHangs()
    {
        // The engine goes while its poll still waits on a silent server: quitting waits only
        // its bound, and the poll's late result touches nothing that is gone.
        EngineFixture f;
        f.start();
        QVERIFY(f.waitForPolls(1));
        FakeHttpServer::Reply hang;
        hang.hang = true;
        f.server->route("GET", "/api/menu-status", hang);
        QVERIFY(f.settle());
        f.server->clearRequests();
        f.engine->refresh();
        QTRY_VERIFY(!f.server->requestsFor("GET", "/api/menu-status").isEmpty()); // the poll now waits
        QElapsedTimer clock;
        clock.start();
        f.engine.reset();
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(2500); // the abandoned poll times out and returns meanwhile
    }
};

QTEST_GUILESS_MAIN(TestEngine)
#include "tst_engine.moc"
