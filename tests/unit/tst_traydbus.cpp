// The companion as a tray host sees it: the real binary on a private session
// bus and an X server, with this test as the panel (org.kde.StatusNotifierWatcher and a
// host). It reads the item and its DBusMenu like a panel does, starts the panel late, opens
// and closes the menu, and clicks items.

#include "dbusmenureader.h"
#include "demoserver.h"
#include "fakepanel.h"
#include "scripttools.h"
#include "testenv.h"

#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <memory>
#include <unistd.h>

using namespace quenlo::test;

class TestTrayDBus final : public QObject {
    Q_OBJECT

    int m_connections = 0;

    QString connectTo(Session &s)
    {
        const QString name = QStringLiteral("tray-test-%1").arg(++m_connections);
        const QDBusConnection bus = QDBusConnection::connectToBus(s.bus.address(), name);
        return bus.isConnected() ? name : QString();
    }

    /// Bus and X server up, and the panel's host on its own connection; "" or the failure.
    QString openDesktop(Session &s)
    {
        if (QString why = s.bus.start(); !why.isEmpty())
            return why;
        if (QString why = s.screen.start(); !why.isEmpty())
            return why;
        s.hostConnection = connectTo(s);
        s.hostName = QStringLiteral("org.kde.StatusNotifierHost-%1-%2").arg(getpid()).arg(m_connections);
        if (s.hostConnection.isEmpty() || !s.host().registerService(s.hostName))
            return QStringLiteral("the host could not join the bus");
        return QString();
    }

    /// The watcher takes its name on a connection of its own.
    bool startWatcher(Session &s)
    {
        s.watcherConnection = connectTo(s);
        if (s.watcherConnection.isEmpty())
            return false;
        s.watcher = std::make_unique<FakeWatcher>(QDBusConnection(s.watcherConnection));
        return s.watcher->publish();
    }

    /// The host tells the watcher that it shows items, as a panel does once it is up.
    bool registerHost(Session &s)
    {
        QDBusConnection bus = s.host();
        QDBusMessage call = QDBusMessage::createMethodCall(
            watcherName, watcherPath, watcherName, QStringLiteral("RegisterStatusNotifierHost"));
        call << s.hostName;
        return callAndWait(bus, call).type() == QDBusMessage::ReplyMessage;
    }

    bool startCompanion(Session &s, const QStringList &environment = {})
    {
        return s.companion.start(s.bus.address(), s.screen.display(), s.port, s.configHome, environment);
    }

    static bool itemRegistered(Session &s, int ms)
    {
        return QTest::qWaitFor([&] { return s.watcher && !s.watcher->items().isEmpty(); }, ms);
    }

    /// The first registered item; empty names when there is none (any call to it then fails).
    static FakeWatcher::Item firstItem(const Session &s)
    {
        return s.watcher && !s.watcher->items().isEmpty() ? s.watcher->items().constFirst() : FakeWatcher::Item {};
    }

    static QVariant itemProperty(Session &s, const QString &name)
    {
        QDBusConnection bus = s.host();
        const FakeWatcher::Item item = firstItem(s);
        return readProperty(bus, item.service, item.path, itemInterface, name);
    }

    static QString toolTip(Session &s)
    {
        return readToolTip(qvariant_cast<QDBusArgument>(itemProperty(s, QStringLiteral("ToolTip")))).title;
    }

    static QString menuPath(Session &s)
    {
        return qvariant_cast<QDBusObjectPath>(itemProperty(s, QStringLiteral("Menu"))).path();
    }

    static MenuNode layout(Session &s)
    {
        QDBusConnection bus = s.host();
        QDBusMessage call = QDBusMessage::createMethodCall(
            firstItem(s).service, menuPath(s), menuInterface, QStringLiteral("GetLayout"));
        call << 0 << -1 << QStringList();
        const QDBusMessage reply = callAndWait(bus, call);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
            return {};
        return readMenuNode(qvariant_cast<QDBusArgument>(reply.arguments().at(1)));
    }

    /// Top-level entry \a i (from 0), or an invisible stand-in when there is none.
    static MenuNode entry(const MenuNode &root, int i)
    {
        if (i < root.children.size())
            return root.children.at(i);
        MenuNode missing;
        missing.properties.insert(QStringLiteral("visible"), false);
        return missing;
    }

    static QString statusLine(const MenuNode &root) { return entry(root, 4).label(); }

    /// Waits for the first poll's result to reach the exported menu.
    static bool statusShows(Session &s, const QString &prefix, int ms)
    {
        return QTest::qWaitFor([&] { return statusLine(layout(s)).startsWith(prefix); }, ms);
    }

    static bool sendEvent(Session &s, int id, const QString &event)
    {
        QDBusConnection bus = s.host();
        QDBusMessage call
            = QDBusMessage::createMethodCall(firstItem(s).service, menuPath(s), menuInterface, QStringLiteral("Event"));
        call << id << event << QVariant::fromValue(QDBusVariant(QString())) << uint(QDateTime::currentSecsSinceEpoch());
        return callAndWait(bus, call).type() == QDBusMessage::ReplyMessage;
    }

    static bool aboutToShow(Session &s, int id)
    {
        QDBusConnection bus = s.host();
        QDBusMessage call = QDBusMessage::createMethodCall(
            firstItem(s).service, menuPath(s), menuInterface, QStringLiteral("AboutToShow"));
        call << id;
        return callAndWait(bus, call).type() == QDBusMessage::ReplyMessage;
    }

    /// The checkmark of "开机自动启动" as exported; -2 when the entry is missing.
    static int loginState(Session &s)
    {
        const MenuNode menu = layout(s);
        const MenuNode *login = menu.child(QStringLiteral("开机自动启动"));
        return login ? login->toggleState() : -2;
    }

    static QByteArray iconBytes(Session &s)
    {
        QByteArray all;
        for (const TrayPixmap &p :
            readPixmaps(qvariant_cast<QDBusArgument>(itemProperty(s, QStringLiteral("IconPixmap")))))
            all += p.argb;
        return all;
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *tool : { "dbus-daemon", "Xvfb" })
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(QString::fromLatin1(tool))));
    }

    // The panel shows the item with the whole menu, in order, with the states of the first poll.
    void panelReadsTheMenu_data()
    {
        QTest::addColumn<QByteArray>("autosyncJson");
        QTest::addColumn<bool>("loginItem");
        QTest::addColumn<int>("checkedHours");

        QTest::newRow("demo as shipped") << QByteArray() << false << 0;
        const qint64 later = QDateTime::currentSecsSinceEpoch() + 5 * 3600;
        QTest::newRow("every 12 hours, login item on")
            << QByteArray("{\"hours\": 12, \"next\": " + QByteArray::number(later) + "}") << true << 12;
    }

    void panelReadsTheMenu()
    {
        QFETCH(QByteArray, autosyncJson);
        QFETCH(bool, loginItem);
        QFETCH(int, checkedHours);

        Session s;
        if (const QString why = openDesktop(s); !why.isEmpty())
            QFAIL(qPrintable(why));
        QVERIFY(startWatcher(s));
        QVERIFY(registerHost(s));
        if (!autosyncJson.isEmpty())
            QVERIFY(writeFile(s.companion.root() + QStringLiteral("/autosync.json"), autosyncJson));
        if (loginItem)
            QVERIFY(writeFile(s.configHome + QStringLiteral("/autostart/local.library.menubar.desktop"),
                "[Desktop Entry]\nType=Application\nName=本地Quenlo\nExec=/bin/true\n"));
        QVERIFY(startCompanion(s));
        QVERIFY2(itemRegistered(s, 20000), qPrintable(s.companion.output()));
        QCOMPARE(firstItem(s).path, QStringLiteral("/StatusNotifierItem"));

        // The item itself: a menu object, a visible icon.
        QVERIFY(!menuPath(s).isEmpty());
        const QList<TrayPixmap> icon
            = readPixmaps(qvariant_cast<QDBusArgument>(itemProperty(s, QStringLiteral("IconPixmap"))));
        QVERIFY(!icon.isEmpty());
        for (const TrayPixmap &p : icon) {
            QCOMPARE(p.argb.size(), qsizetype(p.width) * p.height * 4);
            QVERIFY2(p.opaquePixels() > p.width, "an icon pixmap is blank");
        }

        QVERIFY2(statusShows(s, QStringLiteral("服务运行中"), 30000), qPrintable(statusLine(layout(s))));
        const RawReply menuStatus = rawRequest(s.port, "GET", "/api/menu-status");
        const int unread = QJsonDocument::fromJson(menuStatus.body).object().value(QStringLiteral("unread")).toInt(-1);
        QVERIFY(unread > 0);
        // The tool tip: the name, the status line, and that the state is fresh.
        QTRY_COMPARE(toolTip(s), QStringLiteral("本地Quenlo\n服务运行中 · 未读 %1 条\n刚刚更新").arg(unread));

        const MenuNode root = layout(s);
        const QList<MenuNode> &top = root.children;
        QCOMPARE(top.size(), 19);

        // label ("" for a separator), enabled, visible
        struct Row {
            QString label;
            bool enabled;
            bool visible;
        };
        const bool nextShown = checkedHours > 0;
        const QList<Row> expected = {
            { QStringLiteral("打开Quenlo"), true, true },
            { QStringLiteral("从剪贴板添加"), true, true },
            { QStringLiteral("本机设置"), true, true },
            { QString(), true, true },
            { QStringLiteral("服务运行中 · 未读 %1 条").arg(unread), false, true },
            { QString(), false, false },
            { QString(), false, false },
            { QString(), false, false },
            { QStringLiteral("立即同步全部"), true, true },
            { QString(), true, true },
            { QStringLiteral("自动同步"), true, true },
            { nextShown ? top.at(11).label() : QString(), false, nextShown },
            { QStringLiteral("开机自动启动"), true, true },
            { QString(), true, true },
            { QStringLiteral("打开项目文件夹"), true, true },
            { QStringLiteral("重启服务"), true, true },
            { QString(), true, true },
            { QStringLiteral("退出（Quenlo继续在后台运行）"), true, true },
            { QStringLiteral("退出并停止服务"), true, true },
        };
        for (int i = 0; i < 19; ++i) {
            const MenuNode &n = top.at(i);
            const Row &want = expected.at(i);
            const QByteArray where = "entry " + QByteArray::number(i + 1);
            const bool separator = i == 3 || i == 9 || i == 13 || i == 16;
            QVERIFY2(n.isSeparator() == separator, where.constData());
            if (!separator)
                QCOMPARE(n.label(), want.label);
            QVERIFY2(n.enabled() == want.enabled, where.constData());
            QVERIFY2(n.visible() == want.visible, where.constData());
            QVERIFY2(n.opensSubmenu() == (i == 2 || i == 10), where.constData());
        }
        if (nextShown)
            QVERIFY2(top.at(11).label().startsWith(QStringLiteral("下次：")), qPrintable(top.at(11).label()));
        QCOMPARE(top.at(12).toggleType(), QStringLiteral("checkmark"));
        QCOMPARE(top.at(12).toggleState(), loginItem ? 1 : 0);

        const QList<MenuNode> &settings = top.at(2).children;
        QCOMPARE(settings.size(), 4);
        QCOMPARE(settings.at(0).label(), QStringLiteral("Quenlo设置…"));
        QVERIFY(settings.at(0).enabled());
        QCOMPARE(settings.at(1).label(), QStringLiteral("设置Quenlo登录码…"));
        QVERIFY2(!settings.at(1).enabled(), "the NAS login code is for NAS mode only");
        QCOMPARE(settings.at(2).label(), QStringLiteral("使用本机算力转写"));
        QCOMPARE(settings.at(2).toggleType(), QStringLiteral("checkmark"));
        QCOMPARE(settings.at(2).toggleState(), 0); // the demo's worker is ready and off
        QVERIFY(settings.at(2).enabled());
        QCOMPARE(settings.at(3).label(), QStringLiteral("关闭后不再领取转写任务"));
        QVERIFY(!settings.at(3).enabled());

        const QList<MenuNode> &autosync = top.at(10).children;
        const QStringList titles = { QStringLiteral("关闭"), QStringLiteral("每 3 小时"), QStringLiteral("每 6 小时"),
            QStringLiteral("每 12 小时"), QStringLiteral("每天") };
        const QList<int> hours = { 0, 3, 6, 12, 24 };
        QCOMPARE(autosync.size(), 5);
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(autosync.at(i).label(), titles.at(i));
            QVERIFY(autosync.at(i).enabled());
            QCOMPARE(autosync.at(i).toggleType(), QStringLiteral("checkmark"));
            QCOMPARE(autosync.at(i).toggleState(), hours.at(i) == checkedHours ? 1 : 0);
        }
    }

    // A panel that comes up after the companion at login still gets the item.
    void latePanelGetsTheItem_data()
    {
        QTest::addColumn<bool>("watcherLate");
        QTest::newRow("watcher appears after the companion") << true;
        QTest::newRow("host registers after the watcher") << false;
    }

    void latePanelGetsTheItem()
    {
        QFETCH(bool, watcherLate);

        Session s;
        if (const QString why = openDesktop(s); !why.isEmpty())
            QFAIL(qPrintable(why));
        if (!watcherLate)
            QVERIFY(startWatcher(s));
        QVERIFY(startCompanion(s));
        QTest::qWait(2000); // well within the companion's wait for a panel
        QVERIFY2(s.companion.running(), qPrintable(s.companion.output()));
        if (watcherLate)
            QVERIFY(startWatcher(s));
        else
            QVERIFY2(s.watcher->items().isEmpty(), "the item registered before any host was there");
        QVERIFY(registerHost(s));

        QVERIFY2(itemRegistered(s, 10000), qPrintable(s.companion.output()));
        QVERIFY2(statusShows(s, QStringLiteral("服务运行中"), 30000), qPrintable(statusLine(layout(s))));
        QCOMPARE(layout(s).children.size(), 19);
    }

    // Opening the main menu polls at once and then every 2 s; closing it ends the fast rhythm;
    // a submenu changes nothing. (The rhythm itself is the engine's, timed there.)
    void openMenuPollsFaster()
    {
        Session s;
        if (const QString why = openDesktop(s); !why.isEmpty())
            QFAIL(qPrintable(why));
        QVERIFY(startWatcher(s));
        QVERIFY(registerHost(s));
        QVERIFY(startCompanion(s));
        QVERIFY2(itemRegistered(s, 20000), qPrintable(s.companion.output()));
        QVERIFY2(statusShows(s, QStringLiteral("服务运行中"), 30000), qPrintable(statusLine(layout(s))));
        const MenuNode menu = layout(s);
        const MenuNode *autosync = menu.child(QStringLiteral("自动同步"));
        QVERIFY(autosync);
        const int autosyncId = autosync->id;
        PollLog log(s.companion.log());
        QTest::qWait(1500); // the start-up polls are done

        // A panel asks AboutToShow, then says "opened" (KDE's order). Qt 6.4 turns only the
        // AboutToShow into QMenu::aboutToShow; "closed" becomes aboutToHide.
        const qint64 opened = log.now();
        QVERIFY(aboutToShow(s, 0));
        QVERIFY(sendEvent(s, 0, QStringLiteral("opened")));
        QTest::qWait(2800);
        const qint64 closed = log.now();
        QVERIFY(sendEvent(s, 0, QStringLiteral("closed")));
        QVERIFY(aboutToShow(s, autosyncId));
        QVERIFY(sendEvent(s, autosyncId, QStringLiteral("opened")));
        QVERIFY(sendEvent(s, autosyncId, QStringLiteral("closed")));
        QTest::qWait(3500);

        QVERIFY2(!log.between(opened, opened + 1000).isEmpty(), "opening the menu did not poll at once");
        const QList<qint64> ticks = log.between(opened + 1000, closed);
        QVERIFY2(ticks.size() == 1, qPrintable(QStringLiteral("%1 polls in the first tick").arg(ticks.size())));
        QVERIFY2(ticks.first() - opened >= 1500 && ticks.first() - opened <= 2700,
            qPrintable(QStringLiteral("first tick after %1 ms").arg(ticks.first() - opened)));
        // Still open, the next tick would come within 2 s; closed, none comes.
        const QList<qint64> quiet = log.between(closed + 500, closed + 3500);
        QVERIFY2(
            quiet.isEmpty(), qPrintable(QStringLiteral("%1 ms after closing: a poll").arg(quiet.value(0) - closed)));
    }

    // Two starts at once make one companion: one item, one server started; a later start asks
    // the running one to poll at once; one killed outright does not block the next.
    void oneCompanionPerSession()
    {
        Session s;
        if (const QString why = openDesktop(s); !why.isEmpty())
            QFAIL(qPrintable(why));
        QVERIFY(startWatcher(s));
        QVERIFY(registerHost(s));
        QVERIFY(startCompanion(s));
        std::unique_ptr<QProcess> twin = s.companion.startTwin();
        QElapsedTimer clock;
        clock.start();
        // Whichever lost the race ends at once, quietly and successfully.
        QVERIFY(QTest::qWaitFor([&] { return !s.companion.running() || twin->state() == QProcess::NotRunning; }, 3000));
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        const bool twinWon = !s.companion.running();
        QProcess &lost = twinWon ? *s.companion.process() : *twin;
        QCOMPARE(lost.exitStatus(), QProcess::NormalExit);
        QCOMPARE(lost.exitCode(), 0);
        QVERIFY2(itemRegistered(s, 20000), qPrintable(s.companion.output()));
        QVERIFY2(statusShows(s, QStringLiteral("服务运行中"), 30000), qPrintable(statusLine(layout(s))));
        QTest::qWait(500);
        QCOMPARE(s.watcher->items().size(), 1);
        QCOMPARE(readAll(s.companion.log()).count("已启动"), 1);

        PollLog log(s.companion.log());
        QTest::qWait(1500); // the start-up polls are done
        const qint64 asked = log.now();
        std::unique_ptr<QProcess> third = s.companion.startTwin();
        QVERIFY(third->waitForFinished(1500));
        QCOMPARE(third->exitCode(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!log.between(asked, asked + 1500).isEmpty(), 1500);

        // Killed without a word, the companion leaves its name behind on nothing.
        if (twinWon) {
            twin->kill();
            twin->waitForFinished(3000);
        } else {
            s.companion.kill();
        }
        QTRY_VERIFY(s.watcher->items().isEmpty());
        std::unique_ptr<QProcess> next = s.companion.startTwin();
        QVERIFY2(itemRegistered(s, 20000), qPrintable(QString::fromUtf8(next->readAll())));
        QCOMPARE(next->state(), QProcess::Running);
    }

    // Clicks from the panel run the commands, and the exported menu and icon follow.
    void panelClicksRunCommands()
    {
        Session s;
        if (const QString why = openDesktop(s); !why.isEmpty())
            QFAIL(qPrintable(why));
        QVERIFY(startWatcher(s));
        QVERIFY(registerHost(s));
        // A long sync, so the job line stays while the test looks.
        QVERIFY(startCompanion(s, { QStringLiteral("DEMO_SYNC_SECONDS=60") }));
        QVERIFY2(itemRegistered(s, 20000), qPrintable(s.companion.output()));
        QVERIFY2(statusShows(s, QStringLiteral("服务运行中"), 30000), qPrintable(statusLine(layout(s))));

        SignalCounter menuChanges, iconChanges;
        QDBusConnection bus = s.host();
        const QString service = firstItem(s).service;
        QVERIFY(bus.connect(service, menuPath(s), menuInterface, QStringLiteral("LayoutUpdated"), &menuChanges,
            SLOT(hit(QDBusMessage))));
        QVERIFY(bus.connect(service, menuPath(s), menuInterface, QStringLiteral("ItemsPropertiesUpdated"), &menuChanges,
            SLOT(hit(QDBusMessage))));
        QVERIFY(bus.connect(service, QStringLiteral("/StatusNotifierItem"), itemInterface, QStringLiteral("NewIcon"),
            &iconChanges, SLOT(hit(QDBusMessage))));
        const QByteArray idleIcon = iconBytes(s);

        const MenuNode before = layout(s);
        const MenuNode *sync = before.child(QStringLiteral("立即同步全部"));
        const MenuNode *login = before.child(QStringLiteral("开机自动启动"));
        QVERIFY(sync && login);
        const int syncId = sync->id, loginId = login->id;

        QVERIFY(aboutToShow(s, 0));
        QVERIFY(sendEvent(s, 0, QStringLiteral("opened")));
        QVERIFY(sendEvent(s, syncId, QStringLiteral("clicked")));
        QTRY_VERIFY_WITH_TIMEOUT(readAll(s.companion.log()).contains("\"POST /api/sync-all "), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(entry(layout(s), 5).visible(), 10000);
        const MenuNode running = layout(s);
        QVERIFY2(entry(running, 5).label().startsWith(QStringLiteral("更新知识星球 · ")),
            qPrintable(entry(running, 5).label()));
        QVERIFY(!entry(running, 6).visible());
        QVERIFY2(menuChanges.count > 0, "the open menu changed without telling the panel");
        QTRY_VERIFY_WITH_TIMEOUT(iconChanges.count > 0, 5000);
        QVERIFY2(iconBytes(s) != idleIcon, "the icon did not change while a job runs");

        const QString entry = s.configHome + QStringLiteral("/autostart/local.library.menubar.desktop");
        QVERIFY(!QFileInfo::exists(entry));
        QVERIFY(sendEvent(s, loginId, QStringLiteral("clicked")));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(entry), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(loginState(s), 1, 10000);
        QVERIFY(sendEvent(s, loginId, QStringLiteral("clicked")));
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(entry), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(loginState(s), 0, 10000);
        QVERIFY(sendEvent(s, 0, QStringLiteral("closed")));
    }
};

QTEST_GUILESS_MAIN(TestTrayDBus)
#include "moc_fakepanel.cpp"
#include "tst_traydbus.moc"
