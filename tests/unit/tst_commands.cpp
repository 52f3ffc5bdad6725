#include "enginefixture.h"
#include "net/quenloapi.h"
#include "service/launchagent.h"

#include <QtTest>

using namespace quenlo;
using quenlo::test::EngineFixture;
using quenlo::test::FakeHttpServer;

namespace {

QJsonObject bodyOf(const FakeHttpServer::Request &r) { return QJsonDocument::fromJson(r.body).object(); }

QByteArray errorJson(const QString &text)
{
    return QJsonDocument(QJsonObject{{"error", text}}).toJson(QJsonDocument::Compact);
}

const QString eighty = QString(80, QChar(u'误'));

} // namespace

class TestCommands final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void clipboard_data()
    {
        QTest::addColumn<QString>("clip");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("sent"); // "<nothing>" when nothing may be sent
        QTest::addColumn<QString>("message");
        const QString nothing = QStringLiteral("<nothing>");
        QTest::newRow("link accepted") << "  https://example.com/a\n" << 202 << QByteArray() << "https://example.com/a"
                                       << "已收入Quenlo，等待后台处理";
        QTest::newRow("16384 bytes are sent") << QString(16384, 'x') << 202 << QByteArray() << QString(16384, 'x')
                                              << "已收入Quenlo，等待后台处理";
        QTest::newRow("16385 bytes are refused") << QString(16385, 'x') << 202 << QByteArray() << nothing
                                                 << "剪贴板内容过长，请复制单个链接";
        QTest::newRow("three-byte characters past the limit")
            << QString(5462, QChar(u'链')) << 202 << QByteArray() << nothing << "剪贴板内容过长，请复制单个链接";
        QTest::newRow("blanks only") << " \n\t " << 202 << QByteArray() << nothing << "剪贴板中没有可添加的链接";
        QTest::newRow("200 is a failure") << "https://e.com" << 200 << QByteArray("{}") << "https://e.com"
                                          << "添加未成功，请稍后重试";
        QTest::newRow("80-character error cut at 50") << "bad" << 400 << errorJson(eighty) << "bad"
                                                      << eighty.left(50) + "…";
    }
    void clipboard()
    {
        QFETCH(QString, clip);
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, sent);
        QFETCH(QString, message);
        EngineFixture f;
        f.server->route("POST", "/api/clipboard-add", FakeHttpServer::json(status, reply));
        f.start();
        QVERIFY(f.settle());
        f.server->clearRequests();
        f.engine->addFromClipboard(clip);
        if (sent != "<nothing>")
            QCOMPARE(f.statusLine(), QStringLiteral("正在收入Quenlo…"));
        QVERIFY(f.settle());
        const auto posts = f.server->requestsFor("POST", "/api/clipboard-add");
        if (sent == "<nothing>") {
            QVERIFY(posts.isEmpty());
        } else {
            QCOMPARE(posts.size(), 1);
            QCOMPARE(bodyOf(posts[0]), (QJsonObject{{"text", sent}}));
            QCOMPARE(posts[0].headers.value("content-type"), QByteArray("application/json"));
            // A refresh follows in local mode.
            QVERIFY(!f.server->requestsFor("GET", "/api/menu-status").isEmpty());
        }
        QCOMPARE(f.statusLine(), message);
        QCOMPARE(f.notified(), QStringList{message}); // the interim message is not notified
        QCOMPARE(f.flashes.last().duration, sent == "<nothing>" ? f.settings.flash.brief : f.settings.flash.added);
    }

    void syncAll_data()
    {
        QTest::addColumn<int>("status"); // 0: no server at all
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("message");
        QTest::newRow("started") << 200 << QByteArray(R"({"state":"started"})") << "已开始更新知识星球";
        QTest::newRow("queued") << 200 << QByteArray(R"({"state":"queued"})") << "已排队，等前面的任务结束";
        QTest::newRow("empty body") << 200 << QByteArray() << "更新请求已提交";
        QTest::newRow("500 empty") << 500 << QByteArray() << "更新请求没有成功";
        QTest::newRow("error cut at 30") << 409 << errorJson(eighty) << eighty.left(30) + "…";
        QTest::newRow("no server") << 0 << QByteArray() << "服务未运行";
    }
    void syncAll()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, message);
        EngineFixture f;
        f.server->route("POST", "/api/sync-all", FakeHttpServer::json(status, reply));
        f.start();
        QVERIFY(f.settle());
        if (status == 0)
            f.server.reset();
        f.engine->syncAll();
        QCOMPARE(f.statusLine(), QStringLiteral("正在提交更新请求…"));
        QVERIFY(f.settle());
        if (f.server) {
            const auto posts = f.server->requestsFor("POST", "/api/sync-all");
            QCOMPARE(posts.size(), 1);
            QCOMPARE(posts[0].body, QByteArray("{}"));
        }
        QCOMPARE(f.notified(), QStringList{message});
    }

    void autosyncMovesTheCheckmark()
    {
        EngineFixture f;
        auto hours = std::make_shared<std::atomic<int>>(24);
        f.server->route("GET", "/api/menu-status", [hours](const FakeHttpServer::Request &) {
            return FakeHttpServer::json(200, QByteArray("{\"autosync\":{\"hours\":") + QByteArray::number(hours->load()) +
                                                 ",\"next\":0}}");
        });
        f.server->route("POST", "/api/autosync", [hours](const FakeHttpServer::Request &r) {
            hours->store(QJsonDocument::fromJson(r.body).object().value("hours").toInt());
            return FakeHttpServer::json(200, "{}");
        });
        f.start();
        QVERIFY(f.settle());
        QVERIFY(f.menu()[MenuItem::Autosync24].checked);
        f.engine->chooseAutosync(6);
        QVERIFY(f.settle());
        QCOMPARE(bodyOf(f.server->requestsFor("POST", "/api/autosync").value(0)), (QJsonObject{{"hours", 6}}));
        QVERIFY(f.menu()[MenuItem::Autosync6].checked);
        QVERIFY(!f.menu()[MenuItem::Autosync24].checked);
        f.engine->chooseAutosync(0);
        QVERIFY(f.settle());
        QCOMPARE(bodyOf(f.server->requestsFor("POST", "/api/autosync").value(1)), (QJsonObject{{"hours", 0}}));
        QCOMPARE(f.notified(), (QStringList{"自动同步已设为每 6 小时", "已关闭自动同步"}));
        QVERIFY(f.menu()[MenuItem::Autosync0].checked);
    }

    void autosyncOnAnOlderServer()
    {
        EngineFixture f;
        f.server->route("POST", "/api/autosync", FakeHttpServer::json(404, errorJson("no such thing")));
        f.start();
        QVERIFY(f.settle());
        f.engine->chooseAutosync(3);
        QVERIFY(f.settle());
        QCOMPARE(f.notified(), QStringList{"当前服务版本还没有自动同步"});
    }

    void transcription_data()
    {
        QTest::addColumn<QByteArray>("current"); // empty: the GET gets a non-JSON 500
        QTest::addColumn<bool>("asked");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("message");
        QTest::newRow("switch off") << QByteArray(R"({"enabled":true,"ready":true})") << false
                                    << QByteArray(R"({"message":"已关闭本机转写"})") << "已关闭本机转写";
        QTest::newRow("unknown state asks for on") << QByteArray() << true << QByteArray("oops")
                                                   << "本机转写开关设置失败";
        QTest::newRow("message wins over error") << QByteArray(R"({"enabled":false})") << true
                                                 << QByteArray(R"({"message":"好","error":"坏"})") << "好";
    }
    void transcription()
    {
        QFETCH(QByteArray, current);
        QFETCH(bool, asked);
        QFETCH(QByteArray, reply);
        QFETCH(QString, message);
        EngineFixture f;
        f.server->route("POST", "/api/transcription-worker", FakeHttpServer::json(500, reply));
        f.start();
        QVERIFY(f.settle());
        f.server->route("GET", "/api/transcription-worker",
                        current.isEmpty() ? FakeHttpServer::json(500, "x") : FakeHttpServer::json(200, current));
        f.engine->toggleLocalTranscription();
        QVERIFY(f.settle());
        const auto posts = f.server->requestsFor("POST", "/api/transcription-worker");
        QCOMPARE(posts.size(), 1);
        QCOMPARE(bodyOf(posts[0]), (QJsonObject{{"enabled", asked}}));
        QCOMPARE(f.notified(), QStringList{message});
    }

    void transcriptionWithTheServerDown()
    {
        EngineFixture f;
        f.start();
        QVERIFY(f.settle());
        f.server.reset();
        f.engine->toggleLocalTranscription();
        QVERIFY(f.settle());
        QCOMPARE(f.notified(), QStringList{"本机转写开关设置失败"});
    }

    void openCommands()
    {
        EngineFixture f;
        const QString root = EngineFixture::fakeProject();
        f.start(root);
        f.engine->openLibrary();
        f.engine->openQuenloSettings();
        f.engine->openProjectFolder();
        QCOMPARE(f.opened.size(), 3);
        QCOMPARE(f.opened[0], QUrl(f.settings.service.base() + "/"));
        // Settings always live on the NAS library, in local mode too.
        QCOMPARE(f.opened[1], QUrl(quenloOrigin() + "/?settings=general"));
        QCOMPARE(f.opened[2], QUrl::fromLocalFile(root));
        QVERIFY(f.flashes.isEmpty());
    }

    void launchAgentToggle()
    {
        EngineFixture f;
        f.start();
        const PlatformTable table = linuxPlatform(f.configHome);
        QVERIFY(!launchAgentEnabled(table));
        f.engine->toggleLaunchAgent();
        QVERIFY(launchAgentEnabled(table));
        QVERIFY(f.menu()[MenuItem::Startup].checked);
        f.engine->toggleLaunchAgent();
        QVERIFY(!launchAgentEnabled(table));
        QVERIFY(!f.menu()[MenuItem::Startup].checked);
        QCOMPARE(f.notified(), (QStringList{"已设为开机自动启动", "已取消开机自动启动"}));
    }

    void launchAgentFolderUnwritable()
    {
        EngineFixture f;
        // A file where the autostart folder should be: the entry cannot be written.
        test::writeFile(f.configHome + "/autostart", "not a folder");
        f.start();
        f.engine->toggleLaunchAgent();
        QCOMPARE(f.notified(), QStringList{"写入开机启动设置失败"});
        QVERIFY(!f.menu()[MenuItem::Startup].checked);
    }

    void nasModeServiceCommands()
    {
        EngineFixture f;
        f.start(std::nullopt, [] { return std::make_unique<QuenloAPI>(QStringLiteral("https://127.0.0.1:1"), QString(), nullptr, false); });
        QCOMPARE(f.engine->mode(), CompanionMode::NAS);
        QVERIFY(f.settle(30000));
        f.engine->openProjectFolder();
        QVERIFY(f.opened.isEmpty());
        QSignalSpy polls(f.engine.get(), &Controller::pollApplied);
        f.engine->restartService();
        QVERIFY(polls.wait(30000));
        QVERIFY(f.flashes.isEmpty());
        QCOMPARE(f.statusLine(), QStringLiteral("服务未运行"));
        f.engine->quitAndStopService();
        QCOMPARE(f.quits, 1);
        f.engine->openLibrary();
        QCOMPARE(f.opened.value(0), QUrl(quenloOrigin() + "/"));
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
