#include "app/statusicon.h"
#include "controllerfixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

using namespace quenlo;
using quenlo::test::FakeHttpServer;

using LocalFixture = quenlo::test::ControllerFixture;

class TestController final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void pollRendersMenuStatus()
    {
        LocalFixture f;
        f.server->route("GET", "/api/menu-status",
                       FakeHttpServer::json(200, R"({"unread":3,"jobs":[{"kind":"zsxq","progress":40},
                           {"label":"B","message":"第二"},{"kind":"all"}],"queue":[{"label":"Q1"},{"kind":"dedao"}],
                           "autosync":{"hours":6,"next":0}})"));
        f.start();
        QCOMPARE(f.controller->mode(), CompanionMode::Local);
        QVERIFY(f.waitForPolls(1));
        QCOMPARE(f.visibleLines(),
                 (QStringList{"服务运行中 · 未读 3 条", "知识星球同步 · 40%", "B · 第二", "排队中：Q1 等 2 个"}));
        QCOMPARE(f.controller->currentSymbol(), symbolBusy);
        const StatusMenu &m = f.controller->statusMenu();
        QVERIFY(m.autosyncItems[2]->isChecked());
        QVERIFY(!m.nextLine->isVisible());
        QVERIFY(m.transcriptionItem->isChecked());
        QVERIFY(m.transcriptionItem->isEnabled());
        QCOMPARE(m.transcriptionStatus->text(), QStringLiteral("关闭后不再领取转写任务"));
        QCOMPARE(f.controller->pollingInterval(), 10.0);
        // The version on disk matched the running one: nothing was stopped or started.
        QVERIFY(!f.controller->serviceBroken());
    }

    void pollFallsBackForOlderServers()
    {
        LocalFixture f;
        f.server->route("GET", "/api/menu-status", FakeHttpServer::json(404, "<html></html>"));
        f.server->route("GET", "/api/sync-status", FakeHttpServer::json(200, R"({"zsxq":{"running":true,"progress":40}})"));
        f.start();
        QVERIFY(f.waitForPolls(1));
        QCOMPARE(f.visibleLines(), (QStringList{"服务运行中", "知识星球同步 · 40%"}));
        QVERIFY(!f.controller->state().unread);
    }

    void unreachableServerShowsDown()
    {
        LocalFixture f;
        f.start();
        QVERIFY(f.waitForPolls(1));
        f.server.reset(); // the port is closed now
        f.controller->refresh();
        QVERIFY(f.waitForPolls(1));
        QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("服务未运行"));
        QCOMPARE(f.controller->currentSymbol(), symbolWarning);
        QCOMPARE(f.controller->statusMenu().transcriptionStatus->text(), QStringLiteral("本机未配置离线转写"));
        QVERIFY(!f.controller->statusMenu().transcriptionItem->isEnabled());
    }

    void hangingServerNeverStallsTheMainThread()
    {
        LocalFixture f;
        f.start();
        QVERIFY(f.waitForPolls(1));
        FakeHttpServer::Reply hang;
        hang.hang = true;
        f.server->route("GET", "/api/menu-status", hang);
        f.controller->refresh();
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
        LocalFixture f;
        f.start();
        QVERIFY(f.waitForPolls(2));
        // Each poll now takes about 3.5 s: a 2 s time-out and a slow worker request.
        FakeHttpServer::Reply hang;
        hang.hang = true;
        f.server->route("GET", "/api/menu-status", hang);
        FakeHttpServer::Reply slow = FakeHttpServer::json(200, "{}");
        slow.delayMs = 1500;
        f.server->route("GET", "/api/transcription-worker", slow);
        f.server->clearRequests();
        f.controller->menuWillOpen(f.controller->statusMenu().menu); // one explicit poll, then 2 s ticks
        QCOMPARE(f.controller->pollingInterval(), 2.0);
        int worst = 0;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 9000) {
            worst = std::max(worst, f.controller->work().pending());
            QTest::qWait(50);
        }
        // Explicit poll plus at most one timer poll at a time, never a growing backlog.
        QVERIFY2(worst <= 2, qPrintable(QString::number(worst)));
        QVERIFY(f.server->requestsFor("GET", "/api/menu-status").size() >= 2);
        f.controller->menuDidClose(f.controller->statusMenu().menu);
        QCOMPARE(f.controller->pollingInterval(), 10.0);
    }

    void submenuDoesNotChangeThePolling()
    {
        LocalFixture f;
        f.start();
        f.controller->menuWillOpen(f.controller->statusMenu().autosyncMenu);
        QCOMPARE(f.controller->pollingInterval(), 10.0);
        f.controller->menuWillOpen(f.controller->statusMenu().menu);
        QCOMPARE(f.controller->pollingInterval(), 2.0);
        f.controller->menuDidClose(f.controller->statusMenu().settingsMenu);
        QCOMPARE(f.controller->pollingInterval(), 2.0);
        f.controller->menuDidClose(f.controller->statusMenu().menu);
        QCOMPARE(f.controller->pollingInterval(), 10.0);
    }

    void openMenuPollingEndsWhenNoCloseArrives()
    {
        LocalFixture f;
        f.openMenuPollingLimitMs = 400;
        f.start();
        f.controller->menuWillOpen(f.controller->statusMenu().menu);
        QCOMPARE(f.controller->pollingInterval(), 2.0);
        QTRY_COMPARE_WITH_TIMEOUT(f.controller->pollingInterval(), 10.0, 2000);
        // A close that does arrive still stops the fallback from firing later.
        f.controller->menuWillOpen(f.controller->statusMenu().menu);
        f.controller->menuDidClose(f.controller->statusMenu().menu);
        f.controller->menuWillOpen(f.controller->statusMenu().menu);
        QTest::qWait(200);
        QCOMPARE(f.controller->pollingInterval(), 2.0);
    }

    void newestFlashOwnsTheLine()
    {
        LocalFixture f;
        f.server->route("GET", "/api/menu-status", FakeHttpServer::json(200, R"({"unread":1})"));
        f.start();
        QVERIFY(f.waitForPolls(1));
        f.controller->flash(QStringLiteral("第一条"), 0.3);
        QTest::qWait(100);
        f.controller->flash(QStringLiteral("第二条"), 0.8);
        QTest::qWait(400); // the first one's time has run out
        QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("第二条"));
        QTRY_COMPARE_WITH_TIMEOUT(f.controller->statusMenu().statusLine->text(), QStringLiteral("服务运行中 · 未读 1 条"),
                                  2000);
        QCOMPARE(f.notes->posted.size(), 2);
        QCOMPARE(f.notes->posted[0], (QPair<QString, QString>{"本地Quenlo", "第一条"}));
    }

    void workInProgressIsNotNotified()
    {
        LocalFixture f;
        f.start();
        f.controller->flash(QStringLiteral("正在重启服务…"), 1);
        QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("正在重启服务…"));
        QVERIFY(f.notes->posted.isEmpty());
        f.controller->flash(QStringLiteral("服务启动失败，请查看 server->log"), 1);
        QCOMPARE(f.notes->posted.size(), 1);
        QCOMPARE(f.notes->posted[0].second, QStringLiteral("服务启动失败，请查看 server->log"));
    }
};

QTEST_MAIN(TestController)
#include "tst_controller.moc"
