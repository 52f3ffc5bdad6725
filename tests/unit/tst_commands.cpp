#include "controllerfixture.h"
#include "net/quenloapi.h"
#include "service/launchagent.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QtTest>

using namespace quenlo;
using quenlo::test::ControllerFixture;
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
        ControllerFixture f;
        f.server->route("POST", "/api/clipboard-add", FakeHttpServer::json(status, reply));
        f.start();
        QVERIFY(f.settle());
        QGuiApplication::clipboard()->setText(clip);
        f.server->clearRequests();
        f.controller->addFromClipboard();
        if (sent != "<nothing>")
            QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("正在收入Quenlo…"));
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
        QCOMPARE(f.controller->statusMenu().statusLine->text(), message);
        QCOMPARE(f.notified(), QStringList{message}); // the interim message is not notified
    }

    void clipboardWithOnlyAUrl()
    {
        ControllerFixture f;
        f.server->route("POST", "/api/clipboard-add", FakeHttpServer::json(202, ""));
        f.start();
        QVERIFY(f.settle());
        auto *data = new QMimeData;
        data->setUrls({QUrl(QStringLiteral("https://example.com/only-url"))});
        QGuiApplication::clipboard()->setMimeData(data);
        f.controller->addFromClipboard();
        QVERIFY(f.settle());
        const auto posts = f.server->requestsFor("POST", "/api/clipboard-add");
        QCOMPARE(posts.size(), 1);
        QCOMPARE(bodyOf(posts[0]).value("text").toString(), QStringLiteral("https://example.com/only-url"));
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
        ControllerFixture f;
        f.server->route("POST", "/api/sync-all", FakeHttpServer::json(status, reply));
        f.start();
        QVERIFY(f.settle());
        if (status == 0)
            f.server.reset();
        f.controller->syncAll();
        QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("正在提交更新请求…"));
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
        ControllerFixture f;
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
        const StatusMenu &m = f.controller->statusMenu();
        QVERIFY(m.autosyncItems[4]->isChecked());
        m.autosyncItems[2]->trigger(); // 6 hours
        QVERIFY(f.settle());
        QCOMPARE(bodyOf(f.server->requestsFor("POST", "/api/autosync").value(0)), (QJsonObject{{"hours", 6}}));
        QVERIFY(m.autosyncItems[2]->isChecked());
        QVERIFY(!m.autosyncItems[4]->isChecked());
        m.autosyncItems[0]->trigger(); // off
        QVERIFY(f.settle());
        QCOMPARE(bodyOf(f.server->requestsFor("POST", "/api/autosync").value(1)), (QJsonObject{{"hours", 0}}));
        QCOMPARE(f.notified(), (QStringList{"自动同步已设为每 6 小时", "已关闭自动同步"}));
        QVERIFY(m.autosyncItems[0]->isChecked());
    }

    void autosyncOnAnOlderServer()
    {
        ControllerFixture f;
        f.server->route("POST", "/api/autosync", FakeHttpServer::json(404, errorJson("no such thing")));
        f.start();
        QVERIFY(f.settle());
        f.controller->chooseAutosync(f.controller->statusMenu().autosyncItems[1]);
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
        ControllerFixture f;
        f.server->route("POST", "/api/transcription-worker", FakeHttpServer::json(500, reply));
        f.start();
        QVERIFY(f.settle());
        f.server->route("GET", "/api/transcription-worker",
                        current.isEmpty() ? FakeHttpServer::json(500, "x") : FakeHttpServer::json(200, current));
        f.controller->toggleLocalTranscription();
        QVERIFY(f.settle());
        const auto posts = f.server->requestsFor("POST", "/api/transcription-worker");
        QCOMPARE(posts.size(), 1);
        QCOMPARE(bodyOf(posts[0]), (QJsonObject{{"enabled", asked}}));
        QCOMPARE(f.notified(), QStringList{message});
    }

    void clickedCheckmarksFollowTheServerNotTheClick()
    {
        ControllerFixture f;
        f.server->route("POST", "/api/transcription-worker", FakeHttpServer::json(200, R"({"message":"好"})"));
        f.start();
        QVERIFY(f.settle());
        const StatusMenu &m = f.controller->statusMenu();
        QVERIFY(m.transcriptionItem->isChecked()); // the server says enabled
        m.transcriptionItem->trigger();
        QVERIFY(m.transcriptionItem->isChecked()); // until a poll says otherwise
        m.autosyncItems[3]->trigger();
        QVERIFY(!m.autosyncItems[3]->isChecked()); // the fake server keeps no schedule
        QVERIFY(f.settle());
        QVERIFY(!m.autosyncItems[3]->isChecked());
    }

    void transcriptionWithTheServerDown()
    {
        ControllerFixture f;
        f.start();
        QVERIFY(f.settle());
        f.server.reset();
        f.controller->toggleLocalTranscription();
        QVERIFY(f.settle());
        QCOMPARE(f.notified(), QStringList{"本机转写开关设置失败"});
    }

    void openCommands()
    {
        ControllerFixture f;
        const QString root = ControllerFixture::fakeProject();
        f.start(root);
        f.controller->openLibrary();
        f.controller->openQuenloSettings();
        f.controller->openProjectFolder();
        QCOMPARE(f.opened.size(), 3);
        QCOMPARE(f.opened[0], QUrl(serviceBase() + "/"));
        // Settings always live on the NAS library, in local mode too.
        QCOMPARE(f.opened[1], QUrl(quenloOrigin() + "/?settings=general"));
        QCOMPARE(f.opened[2], QUrl::fromLocalFile(root));
        QVERIFY(f.notes->posted.isEmpty());
    }

    void launchAgentToggle()
    {
        ControllerFixture f;
        f.start();
        const PlatformTable table = linuxPlatform(f.configHome);
        QVERIFY(!launchAgentEnabled(table));
        f.controller->statusMenu().startupItem->trigger();
        QVERIFY(launchAgentEnabled(table));
        QVERIFY(f.controller->statusMenu().startupItem->isChecked());
        f.controller->statusMenu().startupItem->trigger();
        QVERIFY(!launchAgentEnabled(table));
        QVERIFY(!f.controller->statusMenu().startupItem->isChecked());
        QCOMPARE(f.notified(), (QStringList{"已设为开机自动启动", "已取消开机自动启动"}));
    }

    void launchAgentFolderUnwritable()
    {
        ControllerFixture f;
        // A file where the autostart folder should be: the entry cannot be written.
        test::writeFile(f.configHome + "/autostart", "not a folder");
        f.start();
        f.controller->toggleLaunchAgent();
        QCOMPARE(f.notified(), QStringList{"写入开机启动设置失败"});
        QVERIFY(!f.controller->statusMenu().startupItem->isChecked());
    }

    void nasModeServiceCommands()
    {
        ControllerFixture f;
        f.start(std::nullopt, [] { return std::make_unique<QuenloAPI>(QStringLiteral("https://127.0.0.1:1"), QString(), nullptr, false); });
        QCOMPARE(f.controller->mode(), CompanionMode::NAS);
        QVERIFY(f.settle(30000));
        f.controller->openProjectFolder();
        QVERIFY(f.opened.isEmpty());
        QSignalSpy polls(f.controller.get(), &Controller::pollApplied);
        f.controller->restartService();
        QVERIFY(polls.wait(30000));
        QVERIFY(f.notes->posted.isEmpty());
        QCOMPARE(f.controller->statusMenu().statusLine->text(), QStringLiteral("服务未运行"));
        f.controller->quitAndStopService();
        QCOMPARE(f.terminated, 1);
        f.controller->openLibrary();
        QCOMPARE(f.opened.value(0), QUrl(quenloOrigin() + "/"));
    }
};

QTEST_MAIN(TestCommands)
#include "tst_commands.moc"
