#include "app/logindialog.h"
#include "app/trayview.h"
#include "enginefixture.h"
#include "httpsserver.h"
#include "memorysecretstore.h"
#include "net/quenloapi.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

using namespace quenlo;
using quenlo::test::EngineFixture;
using quenlo::test::HttpsTestServer;

namespace {

/// Answers the login dialog once it is up: types \a code and presses \a button.
void answerDialog(const QString &code, const QString &button, QString *fieldSeen = nullptr)
{
    QTimer::singleShot(0, [=] {
        QTRY_VERIFY(qobject_cast<LoginDialog *>(QApplication::activeModalWidget()));
        auto *dialog = qobject_cast<LoginDialog *>(QApplication::activeModalWidget());
        if (fieldSeen)
            *fieldSeen = dialog->field()->text();
        QTest::keyClicks(dialog->field(), code);
        for (QPushButton *b : dialog->findChildren<QPushButton *>())
            if (b->text() == button)
                b->click();
    });
}

} // namespace

class TestNasMode final : public QObject {
    Q_OBJECT

    test::TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_https;

    std::function<std::unique_ptr<QuenloAPI>()> remoteFactory()
    {
        const QString origin = m_https->origin();
        const QString ca = m_certs.caCert;
        return [origin, ca] { return std::make_unique<QuenloAPI>(origin, ca, nullptr, false, NasTimes{}); };
    }
    int countOf(const QByteArray &method, const QByteArray &path) const
    {
        int n = 0;
        for (const auto &r : m_https->requests())
            n += r.method == method && r.target == path;
        return n;
    }

private Q_SLOTS:
    void initTestCase()
    {
        for (const char *name : {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
            qunsetenv(name);
        m_certs = test::TestCertificates::make(test::makeFolder(QStringLiteral("certs")));
        QVERIFY2(m_certs.error.isEmpty(), qPrintable(m_certs.error));
        m_https = std::make_unique<HttpsTestServer>(m_certs.serverCert, m_certs.serverKey);
        QVERIFY2(m_https->error().isEmpty(), qPrintable(m_https->error()));
    }
    void init()
    {
        m_https->clearRoutes();
        m_https->clearLog();
    }

    void reachableNasShowsUp()
    {
        m_https->route("GET", "/healthz", HttpsTestServer::json(200, R"({"jobs":[{"kind":"all"}],"unread":4})"));
        EngineFixture f;
        f.start(std::nullopt, remoteFactory());
        QCOMPARE(f.engine->mode(), CompanionMode::NAS);
        QVERIFY(f.waitForPolls(1, 30000));
        const MenuModel m = f.menu();
        QCOMPARE(m[MenuItem::StatusLine].text, QStringLiteral("服务运行中")); // the reply's content is not used
        QCOMPARE(m.symbol, symbolNormal);
        QVERIFY(!m[MenuItem::Job0].visible);
        QVERIFY(!m[MenuItem::Transcription].enabled);
        QVERIFY(!m[MenuItem::Transcription].checked);
        QCOMPARE(m[MenuItem::TranscriptionStatus].text, QStringLiteral("本机未配置离线转写"));
        QVERIFY(m[MenuItem::RemoteLogin].enabled);
        QCOMPARE(countOf("GET", "/healthz"), 1);
        // No local server is asked anything in NAS mode.
        QVERIFY(f.server->requests().isEmpty());
    }

    void refusedSessionShowsDown()
    {
        m_https->route("GET", "/healthz", HttpsTestServer::json(401, R"({"error":"login"})"));
        EngineFixture f;
        f.start(std::nullopt, remoteFactory());
        QVERIFY(f.waitForPolls(1, 30000));
        QCOMPARE(f.statusLine(), QStringLiteral("服务未运行"));
        QCOMPARE(f.menu().symbol, symbolWarning);
    }

    void clipboardToTheNas_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("message");
        QTest::newRow("receipt") << 200 << QByteArray(R"({"ok":true,"id":17})") << "已收入Quenlo，等待后台处理";
        QTest::newRow("no id") << 200 << QByteArray(R"({"ok":true})") << "未取得投递回执，请查看任务中心";
        QTest::newRow("not logged in") << 401 << QByteArray(R"({"error":"x"})") << "请先设置Quenlo登录码";
        QTest::newRow("refused with text") << 400 << QByteArray(R"({"error":"链接无效"})") << "链接无效";
    }
    void clipboardToTheNas()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, message);
        m_https->route("GET", "/healthz", HttpsTestServer::json(200, "{}"));
        m_https->route("POST", "/api/tasks", HttpsTestServer::json(status, reply));
        EngineFixture f;
        f.start(std::nullopt, remoteFactory());
        QVERIFY(f.settle(30000));
        const int healthChecks = countOf("GET", "/healthz");
        f.engine->addFromClipboard(QStringLiteral(" https://example.com/v \n"));
        QVERIFY(f.settle(30000));
        QCOMPARE(f.notified(), QStringList{message});
        const auto requests = m_https->requests();
        const auto post = std::find_if(requests.begin(), requests.end(), [](const auto &r) { return r.method == "POST"; });
        QVERIFY(post != requests.end());
        QCOMPARE(QJsonDocument::fromJson(post->body).object(), (QJsonObject{{"text", "https://example.com/v"}}));
        QCOMPARE(countOf("GET", "/healthz"), healthChecks); // no refresh follows in NAS mode
    }

    void loginThroughTheDialog()
    {
        m_https->route("GET", "/healthz", HttpsTestServer::json(200, "{}"));
        m_https->route("POST", "/api/session",
                       HttpsTestServer::json(200, R"({"ok":true})", {{"Set-Cookie", "quenlo_session=abc; HttpOnly; Path=/"}}));
        EngineFixture f;
        f.start(std::nullopt, remoteFactory());
        TrayView view(*f.engine, {nullptr, nullptr, nullptr, nullptr, false});
        QVERIFY(f.settle(30000));

        answerDialog(QStringLiteral(" 12 34 "), QStringLiteral("登录"));
        view.statusMenu()[MenuItem::RemoteLogin]->trigger();
        QVERIFY(f.settle(30000));
        QCOMPARE(f.notified(), QStringList{"已连接Quenlo"});
        const auto login = m_https->requests().last();
        QCOMPARE(login.method, QByteArray("POST"));
        QCOMPARE(QJsonDocument::fromJson(login.body).object(), (QJsonObject{{"token", " 12 34 "}})); // as typed
        QCOMPARE(view.statusMenu()[MenuItem::RemoteLogin]->text(), QStringLiteral("设置Quenlo登录码…"));

        // The next poll carries the new session.
        f.engine->refresh();
        QVERIFY(f.settle(30000));
        QCOMPARE(m_https->requests().last().values("Cookie"), QList<QByteArray>{"quenlo_session=abc"});

        // A second opening starts empty; cancelling sends nothing.
        QString seen = QStringLiteral("<not shown>");
        const int before = m_https->requests().size();
        answerDialog(QStringLiteral("zzz"), QStringLiteral("取消"), &seen);
        view.statusMenu()[MenuItem::RemoteLogin]->trigger();
        QVERIFY(f.settle());
        QCOMPARE(seen, QString());
        QCOMPARE(m_https->requests().size(), before);
        QCOMPARE(f.notified().size(), 1);
    }

    void loginWithoutSessionCookie()
    {
        m_https->route("GET", "/healthz", HttpsTestServer::json(200, "{}"));
        m_https->route("POST", "/api/session", HttpsTestServer::json(200, R"({"ok":true})", {{"Set-Cookie", "other=1"}}));
        EngineFixture f;
        f.start(std::nullopt, remoteFactory());
        QVERIFY(f.settle(30000));
        f.engine->logIn(QString());
        QVERIFY(f.settle(30000));
        QCOMPARE(f.notified(), QStringList{"登录回执不完整"});
        QCOMPARE(QJsonDocument::fromJson(m_https->requests().last().body).object(), (QJsonObject{{"token", ""}}));
    }
};

QTEST_MAIN(TestNasMode)
#include "tst_nasmode.moc"
