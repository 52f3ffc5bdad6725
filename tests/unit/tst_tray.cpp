// The tray as the desktop sees it: the view offscreen, and the real binary under Xvfb with the test as the panel.

#include "app/logindialog.h"
#include "app/statusicon.h"
#include "app/trayview.h"
#include "enginefixture.h"
#include "model/text.h"
#include "platform/wakewatcher.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/projectroot.h"

#include <QClipboard>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QMimeData>
#include <QtTest>
#include <QtWidgets>

using namespace quenlo;
using namespace quenlo::test;

namespace {
// D-Bus reads the system bus's address once, when the first bus of any kind is opened.
const bool systemBusNamed = qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + QDir::tempPath().toUtf8() + "/system");

/// An entry as one line: "!" disabled, "~" hidden, "[x]"/"[ ]" a checkmark (\a check 1/0), "{…}" its submenu.
QString line(QString s, bool enabled, bool visible, int check, const QStringList &kids)
{
    s.prepend(enabled ? "" : "!").prepend(visible ? "" : "~") += check < 0 ? "" : check ? " [x]" : " [ ]";
    return kids.isEmpty() ? s : s + " {" + kids.join(", ") + "}";
}
QString describe(const QAction *a)
{
    QStringList kids;
    for (const QAction *kid : a->menu() ? a->menu()->actions() : QList<QAction *>())
        kids << describe(kid);
    return line(a->isSeparator() ? "--" : a->text(), a->isEnabled(), a->isVisible(),
        a->isCheckable() ? a->isChecked() : -1, kids);
}
struct Node {
    int id = 0;
    QString line;
    QList<Node> kids;
};
Node readNode(const QDBusArgument &a) // (ia{sv}av)
{
    Node n;
    QVariantMap p;
    QStringList kids;
    a.beginStructure();
    a >> n.id >> p;
    a.beginArray();
    for (QDBusVariant kid; !a.atEnd(); kids << n.kids.last().line) {
        a >> kid;
        n.kids << readNode(qvariant_cast<QDBusArgument>(kid.variant()));
    }
    a.endArray();
    a.endStructure();
    n.line = line(p.value("type") == "separator" ? "--" : p.value("label").toString(),
        p.value("enabled", true).toBool(), p.value("visible", true).toBool(),
        p.value("toggle-type") == "checkmark" ? p.value("toggle-state").toInt() : -1, kids);
    return n;
}

/// More than 20 opaque pixels of \a ink, and more than 10 half-transparent ones of lightness \a halo.
bool drawnIn(const QIcon &icon, const QColor &ink, int halo)
{
    const QImage image = icon.pixmap(22, 22).toImage().convertToFormat(QImage::Format_ARGB32);
    int inked = 0, haloed = 0;
    for (int i = 0; i < 22 * 22; ++i) {
        const QColor c = image.pixelColor(i % 22, i / 22);
        inked += c == ink;
        haloed += c.alpha() > 60 && c.alpha() < 200 && qAbs(c.lightness() - halo) < 30;
    }
    return inked > 20 && haloed > 10;
}
} // namespace

/// The panel's org.kde.StatusNotifierWatcher.
class Watcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered MEMBER host)
public:
    QStringList items;
    bool host = false;
public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString &service) { items << service; }
};

/// The desktop's notification server: keeps each Notify call as one line.
class Notifications final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList sent;
public Q_SLOTS:
    uint Notify(const QString &app, uint id, const QString &icon, const QString &title, const QString &body,
        const QStringList &actions, const QVariantMap &hints, int timeout)
    {
        sent << QStringList { app, QString::number(id), icon, title, body, actions.join(','),
            hints.value("sound-name").toString(), hints.value("desktop-entry").toString(), QString::number(timeout) }
                    .join('|');
        return uint(sent.size());
    }
};

class TestTray final : public QObject {
    Q_OBJECT
    QList<QProcess *> m_processes; // the newest first, so a bus ends last
    QString m_address, m_display, m_root, m_config, m_project;
    quint16 m_port = 0;
    Watcher m_watcher;
    Notifications m_notifications;

    QProcess *spawn(const QString &program, const QStringList &args = {}, const QStringList &environment = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &e : environment) // NAME=VALUE, or NAME= to remove it
            e.endsWith('=') ? env.remove(e.chopped(1)) : env.insert(e.section('=', 0, 0), e.section('=', 1));
        m_processes.prepend(new QProcess(this));
        m_processes.first()->setProcessEnvironment(env);
        m_processes.first()->start(program, args);
        return m_processes.first();
    }
    /// The binary in a copy of the demo library, which it supervises, on the test's desktop.
    QProcess *companion(const QStringList &environment = {})
    {
        return spawn(m_root + "/quenlo-menubar", {},
            QStringList { "XDG_CURRENT_DESKTOP=", "QT_QPA_PLATFORM=xcb", "DISPLAY=" + m_display,
                "DBUS_SESSION_BUS_ADDRESS=" + m_address, "LOCAL_LIBRARY_PORT=" + QString::number(m_port),
                "XDG_CONFIG_HOME=" + m_config }
                + environment);
    }
    QDBusConnection panel() const { return QDBusConnection(m_address); }
    void publishWatcher(bool host)
    {
        m_watcher.host = host;
        QVERIFY(panel().registerObject("/StatusNotifierWatcher", &m_watcher, QDBusConnection::ExportAllContents));
        QVERIFY(panel().registerService("org.kde.StatusNotifierWatcher"));
    }
    /// Panel and companion up, and the first poll's result in the menu.
    void startAll(const QStringList &environment = {})
    {
        publishWatcher(true);
        companion(environment);
        QTRY_COMPARE_WITH_TIMEOUT(entry(4), "!服务运行中 · 未读 3 条", 20000);
    }
    QVariantList call(const QString &path, const QString &interface, const QString &method, const QVariantList &args)
    {
        QDBusMessage m = QDBusMessage::createMethodCall(m_watcher.items.value(0), path, interface, method);
        m.setArguments(args);
        return panel().call(m, QDBus::BlockWithGui, 5000).arguments();
    }
    Node menu() // Qt exports the menu of a tray item at /MenuBar
    {
        const QVariantList got = call("/MenuBar", "com.canonical.dbusmenu", "GetLayout", { 0, -1, QStringList() });
        return got.size() == 2 ? readNode(qvariant_cast<QDBusArgument>(got.at(1))) : Node();
    }
    QString entry(int i) { return menu().kids.value(i).line; }
    void send(int id, const QString &event) // a reply without arguments: no error
    {
        const QVariantList args { id, event, QVariant::fromValue(QDBusVariant(QString())), 0u };
        QVERIFY(call("/MenuBar", "com.canonical.dbusmenu", "Event", args).isEmpty());
    }
    QByteArray log() { return readAll(m_root + "/server.log"); }
    qsizetype polls() { return log().count("\"GET /api/menu-status "); }

private Q_SLOTS:
    void init() // a desktop: a session bus and an X server, without a panel yet
    {
        QProcess *bus = spawn("dbus-daemon", { "--session", "--nofork", "--print-address=1" });
        QProcess *x = spawn("Xvfb", { "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24" });
        QVERIFY(QTest::qWaitFor([&] { return bus->canReadLine() && x->canReadLine(); }, 10000));
        m_address = bus->readLine().trimmed();
        m_display = ":" + x->readLine().trimmed();
        QVERIFY(QDBusConnection::connectToBus(m_address, m_address).isConnected());
        m_root = copyDemoLibrary("tray");
        QVERIFY(QFile::copy(menubarBinary(), m_root + "/quenlo-menubar"));
        m_config = makeFolder("config");
        m_port = freePort();
        m_watcher.items.clear();
        // A remembered project without an interpreter: a start of its server would leave server.log.
        QVERIFY(writeFile((m_project = makeFolder("project")) + "/server.py", "APP_VERSION = \"1\"\n"));
        companionSettings().setValue("projectPath", m_project);
    }
    void cleanup()
    {
        for (QProcess *p : std::exchange(m_processes, {}))
            p->kill(), p->waitForFinished();
        endListeners(m_port); // the library the companion started
        QDBusConnection::disconnectFromBus(m_address);
    }

    // Plain text as it is; else the first URL as written: escapes are not decoded.
    void clipboardText()
    {
        for (const auto &[text, url] : { std::pair("  链接 ", "https://example.org/x"),
                 std::pair("", "https://example.com/a"), std::pair("", "https://example.org/a%20b?q=%E4%B8%AD") }) {
            auto *data = new QMimeData;
            data->setUrls({ QUrl(url) });
            if (*text)
                data->setText(text);
            QGuiApplication::clipboard()->setMimeData(data);
            QCOMPARE(systemClipboardText(), *text ? text : url);
        }
    }

    // First render before any poll; results notify (escaped, with a sound), progress does not; checkmarks follow
    // the server, not the click; the icon takes the palette's text colour, with a halo, and follows its changes.
    void view()
    {
        QDBusConnection session = QDBusConnection::sessionBus();
        if (!session.isConnected())
            QSKIP("no D-Bus session bus (dbus-run-session is not installed)");
        QVERIFY(session.registerObject(
            "/org/freedesktop/Notifications", &m_notifications, QDBusConnection::ExportAllSlots));
        QVERIFY(session.registerService("org.freedesktop.Notifications"));
        EngineFixture f;
        f.server->route("POST", "/api/transcription-worker", FakeHttpServer::json(200, R"({"message":"好"})"));
        f.start();
        TrayOptions options;
        options.trayWait = Milliseconds(0);
        TrayView view(*f.engine, std::move(options));
        const StatusMenu &m = view.statusMenu();
        QCOMPARE(describe(m[MenuItem::StatusLine]), "!正在检查服务…");
        view.show();
        QVERIFY(!QApplication::quitOnLastWindowClosed()); // the login dialog's close ends nothing
        QVERIFY(f.settle());
        Q_EMIT m.menu->aboutToShow(); // the open menu polls faster until it closes
        QCOMPARE(f.engine->pollingInterval(), f.settings.poll.openMenuInterval);
        Q_EMIT m.menu->aboutToHide();
        QCOMPARE(f.engine->pollingInterval(), f.settings.poll.interval);
        QTRY_COMPARE(view.trayIcon() ? view.trayIcon()->toolTip() : "", "本地Quenlo\n服务运行中\n刚刚更新");

        f.engine->flash(Message::progress("正在重启服务…", Milliseconds(1000)));
        f.engine->flash(Message::outcome("已收入 <a> & 链接", Milliseconds(1000)));
        const QStringList sent { "本地Quenlo|0|local.library.menubar|本地Quenlo|已收入 &lt;a&gt; &amp; 链接||"
                                 "message-new-instant|local.library.menubar|-1" };
        QTRY_COMPARE(m_notifications.sent, sent);
        QVERIFY(session.unregisterService("org.freedesktop.Notifications")); // the clicks' results notify too

        const auto marks = [&m] { return describe(m[MenuItem::SettingsMenu]) + describe(m[MenuItem::AutosyncMenu]); };
        const QString shown
            = "本机设置 {Quenlo设置…, !设置Quenlo登录码…, 使用本机算力转写 [x], !关闭后不再领取转写任务}"
              "自动同步 {关闭 [ ], 每 3 小时 [ ], 每 6 小时 [ ], 每 12 小时 [ ], 每天 [ ]}";
        m[MenuItem::Transcription]->trigger();
        m[MenuItem::Autosync12]->trigger();
        QCOMPARE(marks(), shown);
        QVERIFY(f.settle());
        QCOMPARE(marks(), shown);
        QCOMPARE(f.server->requestsFor("POST", "/api/transcription-worker").size(), 1);
        QCOMPARE(f.server->requestsFor("POST", "/api/autosync").size(), 1);
        QCOMPARE(m_notifications.sent, sent);

        for (const auto &[ink, halo] : { std::pair(QColor(Qt::red), 0), std::pair(QColor(Qt::darkBlue), 255) }) {
            QPalette palette = QApplication::palette();
            palette.setColor(QPalette::WindowText, ink);
            QApplication::setPalette(palette);
            QTRY_VERIFY(drawnIn(view.trayIcon()->icon(), ink, halo));
        }
        for (const QString &symbol : { symbolNormal, symbolBusy, symbolWarning })
            QVERIFY2(drawnIn(symbolIcon(symbol, Qt::white), Qt::white, 0), qPrintable(symbol));
        const QList<QSize> sizes { { 16, 16 }, { 22, 22 }, { 24, 24 }, { 32, 32 }, { 44, 44 }, { 64, 64 } };
        QVERIFY(symbolIcon(symbolNormal, Qt::black).availableSizes() == sizes
            && glyphIcon(Qt::black).availableSizes() == sizes);
    }

    // The code as typed, masked, sent with Return (登录 is the default); 取消 sends nothing.
    void loginDialog()
    {
        for (const bool cancel : { false, true }) {
            QTimer::singleShot(0, [cancel] {
                auto *d = qobject_cast<LoginDialog *>(QApplication::activeModalWidget());
                QVERIFY(d && d->field()->echoMode() == QLineEdit::Password && d->field()->size() == QSize(320, 24)
                    && d->findChildren<QLabel *>().last()->wordWrap());
                QTest::keyClicks(d->field(), " 12 34 ");
                cancel ? d->findChildren<QPushButton *>().last()->click() : QTest::keyClick(d->field(), Qt::Key_Return);
            });
            QCOMPARE(LoginDialog::ask().value_or("none"), cancel ? "none" : " 12 34 ");
        }
    }

    // PrepareForSleep(false) from logind wakes; (true), or anyone else's signal, does not.
    void wokeOnlyOnLogindResume()
    {
        QProcess *daemon = spawn("dbus-daemon",
            { "--session", "--nofork", "--print-address",
                "--address=" + qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS") });
        QVERIFY(systemBusNamed && QTest::qWaitFor([daemon] { return daemon->canReadLine(); }, 3000));
        const QString address = daemon->readLine().trimmed();
        for (const char *name : { "org.freedesktop.login1", "org.example.Impostor" })
            QVERIFY(QDBusConnection::connectToBus(address, name).registerService(name));
        WakeWatcher watcher;
        QSignalSpy woke(&watcher, &WakeWatcher::woke);
        // A round trip on the watcher's connection, so its match rule is on the bus.
        QVERIFY(QDBusConnection::systemBus().interface()->isServiceRegistered("org.freedesktop.login1").value());
        for (const auto &[sender, sleeping] :
            { std::pair("org.example.Impostor", false), std::pair("org.freedesktop.login1", true),
                std::pair("org.freedesktop.login1", true), std::pair("org.freedesktop.login1", false) })
            QDBusConnection(sender).send(QDBusMessage::createSignal("/org/freedesktop/login1",
                                             "org.freedesktop.login1.Manager", "PrepareForSleep")
                << sleeping);
        QTRY_COMPARE(woke.count(), 1);
        QTest::qWait(300); // time for a wrong one to arrive
        QCOMPARE(woke.count(), 1);
    }

    // No display: one line in the companion's words, exit 1, nothing started.
    void noDisplay()
    {
        const QString failed = "quenlo-menubar: the display could not be opened; nothing was started\n";
        for (const auto &[environment, said] :
            { std::pair(QStringList { "QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY=" },
                  QString("quenlo-menubar: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); nothing was "
                          "started\n")),
                std::pair(QStringList { "QT_QPA_PLATFORM=nosuchplugin" }, failed) }) {
            QProcess *p = spawn(menubarBinary(), {}, environment);
            QVERIFY(p->waitForFinished(10000));
            QCOMPARE(QString::number(p->exitCode()) + p->readAllStandardError(), "1" + said);
        }
        QVERIFY(!QFileInfo::exists(m_project + "/server.log"));
    }

    // Without a session bus the claim is a local socket; without a system bus nothing wakes it.
    void oneCompanionPerSettingsFolder()
    {
        FakeHttpServer server;
        server.route("GET", "/api/version", FakeHttpServer::json(200, R"({"version":"1"})"));
        const auto polls = [&server] { return server.requestsFor("GET", "/api/menu-status").size(); };
        const QStringList env { "QT_QPA_PLATFORM=offscreen", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
            "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent", "LOCAL_LIBRARY_PORT=" + QString::number(server.port()),
            "XDG_RUNTIME_DIR=" }; // Qt's warning about it, while the display opens, is no failure
        const auto refused = [this, &env] {
            QProcess *p = spawn(menubarBinary(), {}, env);
            return p->waitForFinished(1000) && p->exitStatus() == QProcess::NormalExit && p->exitCode() == 0;
        };
        QProcess *first = spawn(menubarBinary(), { "-platform", "nosuchplugin", "-reverse" }, env); // not Qt's to read
        QTRY_VERIFY_WITH_TIMEOUT(polls() > 0, 10000);
        const qsizetype before = polls();
        QVERIFY(refused());
        QTRY_VERIFY_WITH_TIMEOUT(polls() > before, 1000); // the refused start asked for a poll
        first->kill();
        QVERIFY(first->waitForFinished()); // its socket file stays behind
        QProcess *next = spawn(menubarBinary(), {}, env);
        QTest::qWait(1000);
        QCOMPARE(next->state(), QProcess::Running);
        QVERIFY(refused());
    }

    // The panel shows the whole menu with the first poll's states; its clicks run the commands.
    void panelReadsTheMenuAndClicks_data()
    {
        QTest::addColumn<QByteArray>("autosync");
        QTest::addColumn<bool>("loginItem");
        QTest::addColumn<QString>("middle"); // entries 11 to 13
        QTest::newRow("demo as shipped")
            << QByteArray() << false
            << "自动同步 {关闭 [x], 每 3 小时 [ ], 每 6 小时 [ ], 每 12 小时 [ ], 每天 [ ]}, ~!, "
               "开机自动启动 [ ]";
        const qint64 next = QDateTime::currentSecsSinceEpoch() + 5 * 3600;
        QTest::newRow("every 12 hours, login item on")
            << "{\"hours\": 12, \"next\": " + QByteArray::number(next) + "}" << true
            << "自动同步 {关闭 [ ], 每 3 小时 [ ], 每 6 小时 [ ], 每 12 小时 [x], 每天 [ ]}, !下次："
                + humanTime(double(next)) + ", 开机自动启动 [x]";
    }
    void panelReadsTheMenuAndClicks()
    {
        QFETCH(QByteArray, autosync);
        QFETCH(bool, loginItem);
        QFETCH(QString, middle);
        const QString login = m_config + "/autostart/local.library.menubar.desktop";
        QVERIFY(autosync.isEmpty() || writeFile(m_root + "/autosync.json", autosync));
        QVERIFY(!loginItem || writeFile(login, "[Desktop Entry]\nType=Application\nName=本地Quenlo\nExec=/bin/true\n"));
        startAll({ "DEMO_SYNC_SECONDS=60" }); // a sync stays while the test looks
        QCOMPARE(menu().line,
            " {打开Quenlo, 从剪贴板添加, 本机设置 {Quenlo设置…, !设置Quenlo登录码…, 使用本机算力转写 [ ], "
            "!关闭后不再领取转写任务}, --, !服务运行中 · 未读 3 条, ~!, ~!, ~!, 立即同步全部, --, "
                + middle + ", --, 打开项目文件夹, 重启服务, --, 退出（Quenlo继续在后台运行）, 退出并停止服务}");

        // The tool tip as the panel reads it, (icon name, pixmaps, title, text): the name, the status line, the age.
        QDBusMessage get = QDBusMessage::createMethodCall(
            m_watcher.items.value(0), "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get");
        const QVariant tip = panel()
                                 .call(get << "org.kde.StatusNotifierItem"
                                           << "ToolTip")
                                 .arguments()
                                 .value(0);
        const QDBusArgument a = qvariant_cast<QDBusArgument>(tip.value<QDBusVariant>().variant());
        QString icon, title;
        a.beginStructure();
        a >> icon;
        a.beginArray();
        a.endArray();
        a >> title;
        QCOMPARE(title, "本地Quenlo\n服务运行中 · 未读 3 条\n刚刚更新");
        send(menu().kids.value(12).id, "clicked");
        QTRY_COMPARE_WITH_TIMEOUT(entry(12), loginItem ? "开机自动启动 [ ]" : "开机自动启动 [x]", 10000);
        QCOMPARE(QFileInfo::exists(login), !loginItem);
        send(menu().kids.value(8).id, "clicked");
        QTRY_VERIFY_WITH_TIMEOUT(log().contains("\"POST /api/sync-all "), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(entry(5).startsWith("!更新知识星球 · "), 10000);
    }

    // Two starts at once make one companion, which waits for a host; a later start asks it to poll.
    void oneCompanionPerSession()
    {
        publishWatcher(false);
        QProcess *a = companion(), *b = companion();
        QElapsedTimer clock;
        clock.start();
        const auto ended = [](QProcess *p) { return p->state() == QProcess::NotRunning; };
        QVERIFY(QTest::qWaitFor([&] { return ended(a) || ended(b); }, 3000));
        QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
        QProcess *lost = ended(a) ? a : b;
        QVERIFY(lost->exitStatus() == QProcess::NormalExit && lost->exitCode() == 0);
        QTest::qWait(500);
        QVERIFY2(m_watcher.items.isEmpty(), "the item came before any host");
        m_watcher.host = true;
        for (int twice = 0; twice < 2; ++twice) // a second host's word makes no second icon
            panel().send(QDBusMessage::createSignal(
                "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher", "StatusNotifierHostRegistered"));
        QTRY_COMPARE_WITH_TIMEOUT(entry(4), "!服务运行中 · 未读 3 条", 20000);
        QTest::qWait(500);
        QCOMPARE(m_watcher.items.size(), 1);
        QCOMPARE(log().count("已启动"), 1);

        const qsizetype before = polls();
        QProcess *third = companion();
        QVERIFY(third->waitForFinished(1500) && third->exitCode() == 0);
        QTRY_VERIFY_WITH_TIMEOUT(polls() > before, 1500);
    }
};

QTEST_MAIN(TestTray)
#include "tst_tray.moc"
