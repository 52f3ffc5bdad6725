#include "memorysecretstore.h"
#include "net/quenloapi.h"

#include "httpsserver.h"
#include "testenv.h"

#include <QJsonDocument>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

using Domain = QuenloResult::Domain;

namespace {

const QByteArray oldSession = "quenlo_session=old";
// Far above a loopback exchange even on a busy machine, yet a hung call fails the row in seconds.
const NasTimes quickTimes { Milliseconds(2000), Milliseconds(4000) };

QJsonObject object(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

} // namespace

// The NAS client's session: the login exchange, the session sent afterwards, the secret store
// at login and at creation.
class TestQuenloApiSession final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;

    std::unique_ptr<QuenloAPI> client(SecretStore *store, bool persist = true) const
    {
        return std::make_unique<QuenloAPI>(m_server->origin(), m_certs.caCert, store, persist, quickTimes);
    }
    void loginRoute(const QByteArrayList &cookies)
    {
        m_server->route("POST", "/api/session", HttpsTestServer::withCookies(200, cookies, R"({"ok":true})"));
    }
    static QuenloResult login(QuenloAPI &api)
    {
        return api.call(
            QStringLiteral("/api/session"), QJsonObject { { QStringLiteral("token"), QStringLiteral("1234") } });
    }

private Q_SLOTS:
    void initTestCase()
    {
        unsetProxyVariables();
        m_certs = TestCertificates::make(makeFolder(QStringLiteral("certs")));
        QVERIFY2(m_certs.error.isEmpty(), qPrintable(m_certs.error));
        m_server = std::make_unique<HttpsTestServer>(m_certs.serverCert, m_certs.serverKey);
        QVERIFY2(m_server->error().isEmpty(), qPrintable(m_server->error()));
    }
    void init()
    {
        m_server->clearRoutes();
        m_server->clearLog();
    }

    void login_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArrayList>("cookies"); // Set-Cookie values of the reply
        QTest::addColumn<QByteArray>("session"); // the client's session afterwards
        QTest::addColumn<QString>("message"); // empty when the call succeeds
        QTest::addColumn<int>("code");

        const QString login = QStringLiteral("/api/session");
        const QString incomplete = QStringLiteral("登录回执不完整");
        QTest::newRow("HttpOnly with path")
            << QByteArray("POST") << login << 200 << QByteArrayList { "quenlo_session=abc123; HttpOnly; Path=/" }
            << QByteArray("quenlo_session=abc123") << QString() << 0;
        QTest::newRow("201 is a success")
            << QByteArray("POST") << login << 201 << QByteArrayList { "quenlo_session=c201; Path=/" }
            << QByteArray("quenlo_session=c201") << QString() << 0;
        QTest::newRow("session among other cookies")
            << QByteArray("POST") << login << 200
            << QByteArrayList { "theme=dark; Path=/", "quenlo_session=s2; Path=/; Secure; HttpOnly", "lang=zh" }
            << QByteArray("quenlo_session=s2") << QString() << 0;
        QTest::newRow("value with equals signs")
            << QByteArray("POST") << login << 200 << QByteArrayList { "quenlo_session=a=b==; Path=/" }
            << QByteArray("quenlo_session=a=b==") << QString() << 0;
        QTest::newRow("no path attribute")
            << QByteArray("POST") << login << 200 << QByteArrayList { "quenlo_session=np" }
            << QByteArray("quenlo_session=np") << QString() << 0;
        QTest::newRow("path elsewhere still sets it")
            << QByteArray("POST") << login << 200 << QByteArrayList { "quenlo_session=p; Path=/other" }
            << QByteArray("quenlo_session=p") << QString() << 0;
        QTest::newRow("expiry in the future")
            << QByteArray("POST") << login << 200 << QByteArrayList { "quenlo_session=e; Max-Age=86400; Path=/" }
            << QByteArray("quenlo_session=e") << QString() << 0;
        QTest::newRow("another name only") << QByteArray("POST") << login << 200
                                           << QByteArrayList { "session=abc; Path=/" } << oldSession << incomplete << 1;
        QTest::newRow("no Set-Cookie") << QByteArray("POST") << login << 200 << QByteArrayList {} << oldSession
                                       << incomplete << 1;
        QTest::newRow("name in another case") << QByteArray("POST") << login << 200
                                              << QByteArrayList { "Quenlo_Session=x" } << oldSession << incomplete << 1;
        QTest::newRow("longer name") << QByteArray("POST") << login << 200 << QByteArrayList { "quenlo_session_v2=x" }
                                     << oldSession << incomplete << 1;
        QTest::newRow("domain of another site")
            << QByteArray("POST") << login << 200 << QByteArrayList { "quenlo_session=x; Domain=elsewhere.invalid" }
            << oldSession << incomplete << 1;
        QTest::newRow("GET to the login path is no login")
            << QByteArray("GET") << login << 200 << QByteArrayList { "quenlo_session=g" } << oldSession << QString()
            << 0;
        QTest::newRow("POST elsewhere is no login")
            << QByteArray("POST") << QStringLiteral("/api/tasks") << 200 << QByteArrayList { "quenlo_session=t" }
            << oldSession << QString() << 0;
        QTest::newRow("trailing slash is another path")
            << QByteArray("POST") << QStringLiteral("/api/session/") << 200 << QByteArrayList { "quenlo_session=t" }
            << oldSession << QString() << 0;
        QTest::newRow("query makes another path")
            << QByteArray("POST") << QStringLiteral("/api/session?next=1") << 200
            << QByteArrayList { "quenlo_session=q" } << oldSession << QString() << 0;
        QTest::newRow("refused login") << QByteArray("POST") << login << 401 << QByteArrayList { "quenlo_session=r" }
                                       << oldSession << QStringLiteral("请先设置Quenlo登录码") << 401;
        QTest::newRow("failed login with a cookie")
            << QByteArray("POST") << login << 500 << QByteArrayList { "quenlo_session=f" } << oldSession
            << QStringLiteral("操作未成功") << 1;
    }
    void login()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        QFETCH(QByteArrayList, cookies);
        QFETCH(QByteArray, session);
        QFETCH(QString, message);
        QFETCH(int, code);

        m_server->route(
            method, QUrl(path).path().toUtf8(), HttpsTestServer::withCookies(status, cookies, R"({"ok":true})"));
        MemorySecretStore store(oldSession);
        const auto api = client(&store);
        const std::optional<QJsonObject> body = method == "POST"
            ? std::optional(QJsonObject { { QStringLiteral("token"), QStringLiteral("1234") } })
            : std::nullopt;
        const QuenloResult result = api->call(path, body);

        QCOMPARE(result.message, message);
        QCOMPARE(result.ok(), message.isEmpty());
        QCOMPARE(result.code, code);
        if (result.ok())
            QCOMPARE(*result.reply, object(R"({"ok":true})"));
        QCOMPARE(api->cookie(), QString::fromUtf8(session));
        const bool loggedIn = session != oldSession;
        QCOMPARE(store.updates(), loggedIn ? 1 : 0);
        QCOMPARE(store.adds(), 0);
        QCOMPARE(store.item(), std::optional(session));
    }

    void sessionSentAfterLogin_data()
    {
        QTest::addColumn<bool>("persist");
        QTest::newRow("persistent") << true;
        QTest::newRow("in memory only") << false;
    }
    void sessionSentAfterLogin()
    {
        QFETCH(bool, persist);
        loginRoute({ "quenlo_session=fresh; HttpOnly; Path=/" });
        m_server->route("GET", "/api/session", HttpsTestServer::json(200, R"({"authenticated":true})"));
        const QByteArray stored = "quenlo_session=stored";
        MemorySecretStore store(stored);
        const auto api = client(&store, persist);
        QCOMPARE(api->cookie(), persist ? QString::fromUtf8(stored) : QString());

        QVERIFY(login(*api).ok());
        QCOMPARE(api->cookie(), QStringLiteral("quenlo_session=fresh"));
        const QuenloResult session = api->call(QStringLiteral("/api/session"), std::nullopt);
        QVERIFY(session.ok());
        QCOMPARE(session.reply->value(QStringLiteral("authenticated")), QJsonValue(true));

        const QList<HttpsTestServer::Request> requests = m_server->requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests.at(0).values("Cookie"), persist ? QByteArrayList { stored } : QByteArrayList {});
        QCOMPARE(requests.at(0).body, QByteArray(R"({"token":"1234"})"));
        QCOMPARE(requests.at(1).method, QByteArray("GET"));
        QCOMPARE(requests.at(1).values("Cookie"), QByteArrayList { "quenlo_session=fresh" });
        if (persist) {
            QCOMPARE(store.reads(), 1);
            QCOMPARE(store.updates(), 1);
            QCOMPARE(store.item(), std::optional(QByteArray("quenlo_session=fresh")));
            // A restart finds the session again.
            QCOMPARE(client(&store)->cookie(), QStringLiteral("quenlo_session=fresh"));
        } else {
            QCOMPARE(store.calls(), 0);
            QCOMPARE(store.item(), std::optional(stored));
        }
    }

    void storeOutcomes_data()
    {
        QTest::addColumn<bool>("hasItem");
        QTest::addColumn<bool>("failUpdate");
        QTest::addColumn<bool>("failAdd");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("adds");
        QTest::addColumn<QByteArray>("itemAfter"); // empty: no item

        const QByteArray fresh = "quenlo_session=new";
        QTest::newRow("replaces the item") << true << false << false << QString() << 0 << fresh;
        QTest::newRow("creates the first item") << false << false << false << QString() << 1 << fresh;
        QTest::newRow("add not needed, so its failure does not matter")
            << true << false << true << QString() << 0 << fresh;
        QTest::newRow("update refused") << true << true << false << QStringLiteral("无法更新钥匙串登录状态") << 0
                                        << oldSession;
        QTest::newRow("update refused is not a missing item")
            << false << true << false << QStringLiteral("无法更新钥匙串登录状态") << 0 << QByteArray();
        QTest::newRow("add refused") << false << false << true << QStringLiteral("无法保存登录状态到钥匙串") << 1
                                     << QByteArray();
    }
    void storeOutcomes()
    {
        QFETCH(bool, hasItem);
        QFETCH(bool, failUpdate);
        QFETCH(bool, failAdd);
        QFETCH(QString, message);
        QFETCH(int, adds);
        QFETCH(QByteArray, itemAfter);

        loginRoute({ "quenlo_session=new; Path=/" });
        m_server->route("GET", "/healthz", HttpsTestServer::json(200, "{}"));
        MemorySecretStore store;
        if (hasItem)
            store.setItem(oldSession);
        store.setFailUpdates(failUpdate);
        store.setFailAdds(failAdd);
        const auto api = client(&store);

        const QuenloResult result = login(*api);
        QCOMPARE(result.message, message);
        QCOMPARE(result.ok(), message.isEmpty());
        if (!result.ok()) {
            QCOMPARE(result.domain, Domain::Quenlo);
            QCOMPARE(result.code, 1);
        }
        QCOMPARE(store.updates(), 1);
        QCOMPARE(store.adds(), adds);
        QCOMPARE(store.item(), itemAfter.isEmpty() ? std::nullopt : std::optional(itemAfter));
        // Whatever the store did, the running client is logged in.
        QCOMPARE(api->cookie(), QStringLiteral("quenlo_session=new"));
        QVERIFY(api->call(QStringLiteral("/healthz"), std::nullopt).ok());
        QCOMPARE(m_server->requests().last().values("Cookie"), QByteArrayList { "quenlo_session=new" });
    }

    void sessionAtCreation_data()
    {
        QTest::addColumn<bool>("hasItem");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("failRead");
        QTest::addColumn<bool>("persist");
        QTest::addColumn<QByteArray>("session");

        const QByteArray none;
        QTest::newRow("no item") << false << none << false << true << none;
        QTest::newRow("stored session") << true << QByteArray("quenlo_session=abc") << false << true
                                        << QByteArray("quenlo_session=abc");
        QTest::newRow("UTF-8 text") << true << QByteArray("quenlo_session=会话") << false << true
                                    << QByteArray("quenlo_session=会话");
        QTest::newRow("invalid UTF-8") << true << QByteArray("quenlo_session=\xff\xfe") << false << true << none;
        QTest::newRow("truncated sequence") << true << QByteArray("quenlo_session=\xe4\xbc") << false << true << none;
        QTest::newRow("encoded surrogate")
            << true << QByteArray("quenlo_session=\xed\xa0\x80") << false << true << none;
        QTest::newRow("overlong encoding") << true << QByteArray("quenlo_session=\xc0\xaf") << false << true << none;
        QTest::newRow("line break would inject a header")
            << true << QByteArray("quenlo_session=a\r\nX-Evil: 1") << false << true << none;
        QTest::newRow("NUL inside") << true << QByteArray("quenlo_session=a\0b", 18) << false << true << none;
        QTest::newRow("read fails") << true << QByteArray("quenlo_session=abc") << true << true << none;
        QTest::newRow("not persistent") << true << QByteArray("quenlo_session=abc") << false << false << none;
    }
    void sessionAtCreation()
    {
        QFETCH(bool, hasItem);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, failRead);
        QFETCH(bool, persist);
        QFETCH(QByteArray, session);

        m_server->route("GET", "/healthz", HttpsTestServer::json(200, "{}"));
        MemorySecretStore store;
        if (hasItem)
            store.setItem(bytes);
        store.setFailReads(failRead);
        const auto api = client(&store, persist);
        QCOMPARE(api->cookie(), QString::fromUtf8(session));
        QCOMPARE(store.reads(), persist ? 1 : 0);
        QCOMPARE(store.updates() + store.adds(), 0);

        QVERIFY(api->call(QStringLiteral("/healthz"), std::nullopt).ok());
        QCOMPARE(m_server->requests().first().values("Cookie"),
            session.isEmpty() ? QByteArrayList {} : QByteArrayList { session });
    }
};

QTEST_GUILESS_MAIN(TestQuenloApiSession)
#include "tst_quenloapisession.moc"
