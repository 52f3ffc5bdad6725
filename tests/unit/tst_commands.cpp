#include "enginefixture.h"
#include "httpsserver.h"
#include "net/quenloapi.h"
#include "processinfo.h"
#include "service/launchagent.h"

#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

class TestCommands final : public QObject {
    Q_OBJECT
    TestCertificates m_certs = TestCertificates::make(makeFolder("certs"));
    HttpsTestServer m_nas { m_certs.serverCert, m_certs.serverKey };

private Q_SLOTS:
    void commands_data()
    {
        QTest::addColumn<QString>("slot");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QByteArray>("reply"); // status and body; "0": the local server is gone; of the NAS in "nas …"
        QTest::addColumn<QString>("request"); // method, path and body of what the command asks; empty: nothing
        QTest::addColumn<QStringList>("events"); // as EngineFixture records them
        const auto row = [](const char *name, const char *slot, const QString &argument, const QByteArray &reply,
                             const QString &request, const QStringList &events) {
            QTest::newRow(name) << QString(slot) << argument << reply << request << events;
        };
        const QString adding = "~正在收入Quenlo…", added = "已收入Quenlo，等待后台处理", syncing = "~正在提交更新请求…";
        row("link", "addFromClipboard", " 链接\n", "202", R"(POST /api/clipboard-add {"text":"链接"})",
            { adding, added });
        row("huge", "addFromClipboard", QString(8 << 20, 'x'), "202", "", { "剪贴板内容过长，请复制单个链接" });
        row("empty", "addFromClipboard", " \n", "202", "", { "剪贴板中没有可添加的链接" });
        row("sync all", "syncAll", "", R"(200 {"state":"started"})", "POST /api/sync-all {}",
            { syncing, "已开始更新知识星球" });
        row("sync all, server down", "syncAll", "", "0", "", { syncing, "服务未运行" });
        row("autosync", "chooseAutosync", "6", "200 {}", R"(POST /api/autosync {"hours":6})",
            { "自动同步已设为每 6 小时" });
        row("autosync, older server", "chooseAutosync", "3", "404", R"(POST /api/autosync {"hours":3})",
            { "当前服务版本还没有自动同步" });
        row("transcription", "toggleLocalTranscription", "", R"(200 {"message":"已关闭本机转写"})",
            R"(POST /api/transcription-worker {"enabled":false})", { "已关闭本机转写" });
        row("transcription, server down", "toggleLocalTranscription", "", "0", "", { "本机转写开关设置失败" });
        row("open library", "openLibrary", "", "", "", { "open http://127.0.0.1:PORT/" });
        row("open settings", "openQuenloSettings", "", "", "", { "open " + quenloOrigin() + "/?settings=general" });
        row("open folder", "openProjectFolder", "", "", "", { "open file://ROOT" });
        row("quit", "quitKeepingService", "", "", "", { "quit" });
        row("nas link", "addFromClipboard", " v ", R"(200 {"ok":true,"id":17})", R"(POST /api/tasks {"text":"v"})",
            { adding, added });
        row("nas link refused", "addFromClipboard", "v", R"(400 {"error":"链接无效"})",
            R"(POST /api/tasks {"text":"v"})", { adding, "链接无效" });
        row("nas login", "logIn", " 12 34 ", "200 {}", R"(POST /api/session {"token":" 12 34 "})", { "已连接Quenlo" });
        row("nas login, no session", "logIn", "", "200 {}", R"(POST /api/session {"token":""})", { "登录回执不完整" });
        row("nas check, up", "restartService", "", "200 {}", "GET /healthz", {});
        row("nas check, session refused", "restartService", "", "401 {}", "GET /healthz", {});
        row("nas open library", "openLibrary", "", "", "", { "open " + quenloOrigin() + "/" });
    }
    void commands()
    {
        QFETCH(QString, slot);
        QFETCH(QString, argument);
        QFETCH(QByteArray, reply);
        QFETCH(QString, request);
        QFETCH(QStringList, events);
        const bool nas = QByteArray(QTest::currentDataTag()).startsWith("nas");
        unsetProxyVariables();
        QVERIFY2(m_certs.error.isEmpty() && m_nas.error().isEmpty(), qPrintable(m_certs.error + m_nas.error()));
        const QByteArray method = request.section(' ', 0, 0).toUtf8(), path = request.section(' ', 1, 1).toUtf8();
        const int status = reply.left(3).toInt();
        const QByteArray cookie = argument == " 12 34 " ? "quenlo_session=abc; Path=/" : "other=1";
        EngineFixture f;
        f.server->route(method, path, FakeHttpServer::json(status, reply.mid(4)));
        m_nas.route("GET", "/healthz", HttpsTestServer::json(200, "{}"));
        m_nas.route(method, path, HttpsTestServer::json(status, reply.mid(4), { { "Set-Cookie", cookie } }));
        const QString root = EngineFixture::fakeProject();
        f.start(nas ? std::nullopt : std::optional(root), [origin = m_nas.origin(), ca = m_certs.caCert] {
            return std::make_unique<QuenloAPI>(origin, ca, nullptr, false);
        });
        QVERIFY(f.settle());
        f.server->clearRequests();
        m_nas.clearLog();
        if (reply == "0")
            f.server.reset();
        QElapsedTimer clock;
        clock.start();
        QObject *engine = f.engine.get();
        QVERIFY(slot == "chooseAutosync"
                ? QMetaObject::invokeMethod(engine, qPrintable(slot), Q_ARG(qint64, argument.toLongLong()))
                : slot == "addFromClipboard" || slot == "logIn"
                ? QMetaObject::invokeMethod(engine, qPrintable(slot), Q_ARG(QString, argument))
                : QMetaObject::invokeMethod(engine, qPrintable(slot)));
        QVERIFY2(clock.elapsed() < 300, qPrintable(QString::number(clock.elapsed()))); // nothing waits on this thread
        QVERIFY(f.settle());
        events.replaceInStrings("PORT", QString::number(f.settings.service.port)).replaceInStrings("ROOT", root);
        QCOMPARE(f.events, events);
        // A local command that reached the server is followed by a poll; nothing polls the NAS but a new check.
        QByteArrayList bodies;
        for (const auto &r : nas ? m_nas.requests() : QList<HttpsTestServer::Request>())
            bodies << r.body;
        for (const auto &r : f.server && !nas ? f.server->requestsFor(method, path) : QList<FakeHttpServer::Request>())
            bodies << r.body;
        QCOMPARE(bodies.size(), int(!request.isEmpty()));
        QCOMPARE(QJsonDocument::fromJson(bodies.value(0)), QJsonDocument::fromJson(request.section(' ', 2).toUtf8()));
        if (f.server)
            QCOMPARE(f.server->requestsFor("GET", "/api/menu-status").size(), int(!nas && !request.isEmpty()));
        QCOMPARE(f.engine->state().serviceUp, status != 401 && f.server);
    }

    void loginItem()
    {
        // The item follows each click; a click fails where a file stands in for its folder.
        EngineFixture f;
        f.start();
        for (const int click : { 1, 2, 3 }) {
            QVERIFY(click < 3
                || (QDir(f.configHome + "/autostart").removeRecursively()
                    && writeFile(f.configHome + "/autostart", "")));
            f.engine->toggleLaunchAgent();
            QCOMPARE(f.menu()[MenuItem::Startup].checked, click == 1);
            QCOMPARE(launchAgentEnabled(linuxPlatform(f.configHome)), click == 1);
        }
        QCOMPARE(f.events, (QStringList { "已设为开机自动启动", "已取消开机自动启动", "写入开机启动设置失败" }));
    }

    void serviceCommands()
    {
        // The engine on a copy of the demo library: the first check starts its server on a free port.
        EngineFixture f;
        const quint16 port = freePort();
        f.server.reset();
        f.settings = fastSettings(port);
        f.settings.supervisor.startWait = Milliseconds(4000);
        const auto server = [port] { return listeningPids(port); };
        const auto cleanup = qScopeGuard([port] { endListeners(port); });
        f.start(copyDemoLibrary());
        QVERIFY(f.settle(30000));
        // A restart replaces the server, starts one where none runs, and waits for one that needs 90% of the wait.
        for (const QByteArray delay : { "0", "-", "3.5" }) {
            const QList<pid_t> before = server();
            if (delay == "-")
                endListeners(port);
            qputenv("DEMO_START_DELAY", delay);
            f.events.clear();
            f.engine->restartService();
            QVERIFY(f.settle(30000));
            QCOMPARE(f.events, (QStringList { "~正在重启服务…", "服务已重启" }));
            QCOMPARE(server().size(), 1);
            QVERIFY(!before.isEmpty() && server() != before);
        }
        qunsetenv("DEMO_START_DELAY");
        f.engine->quitKeepingService();
        QVERIFY(!server().isEmpty());
        // Quitting and stopping ends the server before the quit.
        QObject::connect(
            f.engine.get(), &Controller::quitRequested, [&] { f.events << QString::number(server().size()); });
        f.engine->quitAndStopService();
        QTRY_COMPARE_WITH_TIMEOUT(f.quits, 2, 10000);
        QCOMPARE(f.events.mid(2), (QStringList { "quit", "~正在停止服务…", "quit", "0" }));
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
