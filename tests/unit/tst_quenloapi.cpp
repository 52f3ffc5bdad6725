#include "memorysecretstore.h"
#include "net/curlglobal.h"
#include "net/quenloapi.h"

#include "fakehttpserver.h"
#include "httpsserver.h"
#include "testenv.h"

#include <QJsonDocument>
#include <QtTest>

#include <curl/curl.h>

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

// Requests and replies of the NAS client against a real HTTPS server: what is sent, how each
// status reads, which paths are refused before sending, and transport failures.
class TestQuenloApi final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;

    std::unique_ptr<QuenloAPI> client(SecretStore *store, bool persist = true) const
    {
        return std::make_unique<QuenloAPI>(m_server->origin(), m_certs.caCert, store, persist, quickTimes);
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

    void replies_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("reply"); // the object returned on success
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");

        const QByteArray none;
        QTest::newRow("200 object") << QByteArray("GET") << 200 << QByteArray(R"({"ok":true,"n":3})") << true
                                    << QByteArray(R"({"ok":true,"n":3})") << 0 << QString();
        QTest::newRow("299 is a success") << QByteArray("GET") << 299 << QByteArray(R"({"a":1})") << true
                                          << QByteArray(R"({"a":1})") << 0 << QString();
        QTest::newRow("204 without body")
            << QByteArray("GET") << 204 << none << true << QByteArray("{}") << 0 << QString();
        QTest::newRow("200 array") << QByteArray("GET") << 200 << QByteArray(R"([{"ok":true}])") << true
                                   << QByteArray("{}") << 0 << QString();
        QTest::newRow("200 scalar") << QByteArray("GET") << 200 << QByteArray("42") << true << QByteArray("{}") << 0
                                    << QString();
        QTest::newRow("200 not JSON") << QByteArray("GET") << 200 << QByteArray("<html>") << true << QByteArray("{}")
                                      << 0 << QString();
        QTest::newRow("200 empty body") << QByteArray("POST") << 200 << none << true << QByteArray("{}") << 0
                                        << QString();
        QTest::newRow("400 with error text") << QByteArray("POST") << 400 << QByteArray(R"({"error":"链接格式不对"})")
                                             << false << none << 1 << QStringLiteral("链接格式不对");
        QTest::newRow("404 with error text") << QByteArray("GET") << 404 << QByteArray(R"({"error":"not here"})")
                                             << false << none << 1 << QStringLiteral("not here");
        QTest::newRow("400 with empty error text") << QByteArray("POST") << 400 << QByteArray(R"({"error":""})")
                                                   << false << none << 1 << QStringLiteral("操作未成功");
        QTest::newRow("400 with blank error text") << QByteArray("POST") << 400 << QByteArray(R"({"error":" \n"})")
                                                   << false << none << 1 << QStringLiteral("操作未成功");
        QTest::newRow("400 error is a number") << QByteArray("POST") << 400 << QByteArray(R"({"error":5})") << false
                                               << none << 1 << QStringLiteral("操作未成功");
        QTest::newRow("500 not JSON") << QByteArray("GET") << 500 << QByteArray("Internal Server Error") << false
                                      << none << 1 << QStringLiteral("操作未成功");
        QTest::newRow("503 array with an error inside") << QByteArray("GET") << 503 << QByteArray(R"([{"error":"x"}])")
                                                        << false << none << 1 << QStringLiteral("操作未成功");
        QTest::newRow("300 is not a success") << QByteArray("GET") << 300 << QByteArray(R"({"error":"moved"})") << false
                                              << none << 1 << QStringLiteral("moved");
        const QByteArray nearLimit = "{\"a\":\"" + QByteArray(replyLimit - 65536, 'x') + "\"}";
        QTest::newRow("200 just under the limit")
            << QByteArray("GET") << 200 << nearLimit << true << nearLimit << 0 << QString();
        QTest::newRow("200 past the limit") << QByteArray("GET") << 200 << QByteArray(replyLimit, ' ') << false
                                            << none << 1 << QStringLiteral("NAS 回复过大");
        QTest::newRow("401 server text ignored")
            << QByteArray("GET") << 401 << QByteArray(R"({"error":"token expired"})") << false << none << 401
            << QStringLiteral("请先设置Quenlo登录码");
        QTest::newRow("401 not JSON") << QByteArray("POST") << 401 << QByteArray("nope") << false << none << 401
                                      << QStringLiteral("请先设置Quenlo登录码");
    }
    void replies()
    {
        QFETCH(QByteArray, method);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, ok);
        QFETCH(QByteArray, reply);
        QFETCH(int, code);
        QFETCH(QString, message);

        m_server->route(method, "/api/probe", HttpsTestServer::json(status, body));
        MemorySecretStore store(oldSession);
        const auto api = client(&store);
        const std::optional<QJsonObject> requestBody = method == "POST"
            ? std::optional(QJsonObject { { QStringLiteral("text"), QStringLiteral("x") } })
            : std::nullopt;
        const QuenloResult result = api->call(QStringLiteral("/api/probe"), requestBody);

        QCOMPARE(result.ok(), ok);
        if (ok) {
            QCOMPARE(*result.reply, object(reply));
            QCOMPARE(result.domain, Domain::None);
            QVERIFY(result.message.isEmpty());
        } else {
            QCOMPARE(result.domain, Domain::Quenlo);
            QCOMPARE(result.code, code);
            QCOMPARE(result.message, message);
        }
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(api->cookie(), QString::fromUtf8(oldSession));
        QCOMPARE(store.updates() + store.adds(), 0);
    }

    void requestShape_data()
    {
        QTest::addColumn<bool>("withBody");
        QTest::addColumn<QByteArray>("stored"); // the session the client starts with
        QTest::newRow("GET without session") << false << QByteArray();
        QTest::newRow("GET with session") << false << QByteArray("quenlo_session=s1");
        QTest::newRow("POST without session") << true << QByteArray();
        QTest::newRow("POST with session") << true << QByteArray("quenlo_session=s1");
    }
    void requestShape()
    {
        QFETCH(bool, withBody);
        QFETCH(QByteArray, stored);
        m_server->route(withBody ? "POST" : "GET", "/api/tasks", HttpsTestServer::json(200, R"({"ok":true})"));
        MemorySecretStore store;
        if (!stored.isEmpty())
            store.setItem(stored);
        const auto api = client(&store);
        const QJsonObject body { { QStringLiteral("text"), QStringLiteral("https://例子.cn/a") } };
        QVERIFY(api->call(QStringLiteral("/api/tasks"), withBody ? std::optional(body) : std::nullopt).ok());

        const QList<HttpsTestServer::Request> requests = m_server->requests();
        QCOMPARE(requests.size(), 1);
        const HttpsTestServer::Request &r = requests.first();
        QCOMPARE(r.method, withBody ? QByteArray("POST") : QByteArray("GET"));
        QCOMPARE(r.target, QByteArray("/api/tasks"));
        QCOMPARE(r.values("X-Quenlo"), QByteArrayList { "1" });
        QCOMPARE(r.values("Cookie"), stored.isEmpty() ? QByteArrayList {} : QByteArrayList { stored });
        QCOMPARE(r.values("Expect"), QByteArrayList {});
        if (withBody) {
            QCOMPARE(r.values("Content-Type"), QByteArrayList { "application/json" });
            QCOMPARE(r.body, QByteArray("{\"text\":\"https://例子.cn/a\"}"));
        } else {
            QCOMPARE(r.values("Content-Type"), QByteArrayList {});
            QCOMPARE(r.values("Content-Length"), QByteArrayList {});
            QVERIFY(r.body.isEmpty());
        }
    }

    void invalidPaths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("empty") << QString();
        QTest::newRow("no leading slash") << QStringLiteral("api/tasks");
        QTest::newRow("user info would change the host") << QStringLiteral("@elsewhere.invalid/api");
        QTest::newRow("host continuation") << QStringLiteral(".elsewhere.invalid/api");
        QTest::newRow("port continuation") << QStringLiteral(":1/api");
        QTest::newRow("space") << QStringLiteral("/api/a b");
        QTest::newRow("non-ASCII") << QStringLiteral("/api/书");
        QTest::newRow("line break") << QStringLiteral("/api/x\r\nX-Evil: 1");
        QTest::newRow("NUL") << QStringLiteral("/api/x") + QChar(0);
        QTest::newRow("backslash") << QStringLiteral("/api\\x");
        QTest::newRow("quote") << QStringLiteral("/api/\"x\"");
        QTest::newRow("angle brackets") << QStringLiteral("/api/<x>");
        QTest::newRow("braces") << QStringLiteral("/api/{x}");
        QTest::newRow("pipe") << QStringLiteral("/api/a|b");
        QTest::newRow("caret") << QStringLiteral("/api/a^b");
        QTest::newRow("backtick") << QStringLiteral("/api/a`b");
        QTest::newRow("square brackets") << QStringLiteral("/api/[x]");
        QTest::newRow("lone percent") << QStringLiteral("/api/%");
        QTest::newRow("half an escape") << QStringLiteral("/api/%4");
        QTest::newRow("escape with a non-hex digit") << QStringLiteral("/api/%zz");
        QTest::newRow("second hash") << QStringLiteral("/api/x#a#b");
    }
    void invalidPaths()
    {
        QFETCH(QString, path);
        MemorySecretStore store(oldSession);
        const auto api = client(&store);
        for (const bool post : { false, true }) {
            const QuenloResult result = api->call(path, post ? std::optional(QJsonObject {}) : std::nullopt);
            QVERIFY(!result.ok());
            QCOMPARE(result.domain, Domain::Quenlo);
            QCOMPARE(result.code, 1);
            QCOMPARE(result.message, QStringLiteral("请求地址无效"));
        }
        QVERIFY(m_server->requests().isEmpty());
        QCOMPARE(api->cookie(), QString::fromUtf8(oldSession));
    }

    void pathsSentAsGiven_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("target"); // what the server receives
        QTest::addColumn<QByteArray>("route"); // the target without its query
        QTest::newRow("query") << QStringLiteral("/api/tasks?x=1&y=%20z") << QByteArray("/api/tasks?x=1&y=%20z")
                               << QByteArray("/api/tasks");
        QTest::newRow("escaped non-ASCII")
            << QStringLiteral("/api/%E4%B9%A6") << QByteArray("/api/%E4%B9%A6") << QByteArray("/api/%E4%B9%A6");
        QTest::newRow("sub-delimiters") << QStringLiteral("/api/a;b=c,d!$'()*+~") << QByteArray("/api/a;b=c,d!$'()*+~")
                                        << QByteArray("/api/a;b=c,d!$'()*+~");
        QTest::newRow("colon and at sign")
            << QStringLiteral("/api/a:b@c?q=/?") << QByteArray("/api/a:b@c?q=/?") << QByteArray("/api/a:b@c");
        QTest::newRow("double slash keeps the host")
            << QStringLiteral("//elsewhere.invalid/api") << QByteArray("//elsewhere.invalid/api")
            << QByteArray("//elsewhere.invalid/api");
        QTest::newRow("fragment is not sent")
            << QStringLiteral("/api/x#part") << QByteArray("/api/x") << QByteArray("/api/x");
    }
    void pathsSentAsGiven()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, target);
        QFETCH(QByteArray, route);
        m_server->route("GET", route, HttpsTestServer::json(200, "{}"));
        const auto api = client(nullptr, false);
        const QuenloResult result = api->call(path, std::nullopt);
        QVERIFY2(result.ok(), qPrintable(result.message));
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(m_server->requests().first().target, target);
    }

    void transportFailures_data()
    {
        QTest::addColumn<QString>("server"); // which server the client meets
        QTest::addColumn<int>("curlCode");
        QTest::addColumn<QString>("text"); // a part of libcurl's own description
        QTest::newRow("closed port") << QStringLiteral("closed") << int(CURLE_COULDNT_CONNECT)
                                     << QStringLiteral("Couldn't connect to server");
        QTest::newRow("certificate from an unknown CA")
            << QStringLiteral("unknown CA") << int(CURLE_PEER_FAILED_VERIFICATION)
            << QStringLiteral("SSL certificate problem");
        QTest::newRow("certificate for another host")
            << QStringLiteral("other host") << int(CURLE_PEER_FAILED_VERIFICATION) << QStringLiteral("127.0.0.1");
    }
    void transportFailures()
    {
        QFETCH(QString, server);
        QFETCH(int, curlCode);
        QFETCH(QString, text);

        std::unique_ptr<HttpsTestServer> other;
        QString origin;
        QString trusted = m_certs.caCert;
        HttpsTestServer *listening = nullptr;
        if (server == QStringLiteral("closed")) {
            origin = QStringLiteral("https://127.0.0.1:%1").arg(freePort());
        } else if (server == QStringLiteral("unknown CA")) {
            // The server's certificate is genuine, but the client trusts only an unrelated CA.
            trusted = m_certs.unrelatedCaCert;
            listening = m_server.get();
        } else {
            other = std::make_unique<HttpsTestServer>(m_certs.otherHostCert, m_certs.otherHostKey);
            QVERIFY2(other->error().isEmpty(), qPrintable(other->error()));
            listening = other.get();
        }
        if (listening) {
            origin = listening->origin();
            listening->route("POST", "/api/session", HttpsTestServer::withCookies(200, { "quenlo_session=stolen" }));
        }

        MemorySecretStore store(oldSession);
        QuenloAPI api(origin, trusted, &store, true, quickTimes);
        const QuenloResult result = api.call(
            QStringLiteral("/api/session"), QJsonObject { { QStringLiteral("token"), QStringLiteral("1234") } });
        QVERIFY(!result.ok());
        QCOMPARE(result.domain, Domain::Curl);
        QCOMPARE(result.code, curlCode);
        QVERIFY2(result.message.contains(text), qPrintable(result.message));
        QCOMPARE(api.cookie(), QString::fromUtf8(oldSession));
        QCOMPARE(store.updates() + store.adds(), 0);
        if (listening) {
            // The client reached the server and refused its certificate: no request, so neither
            // the login code nor the session left the machine.
            QVERIFY(waitUntil([&] { return listening->connections() >= 1; }, std::chrono::seconds(5)));
            QVERIFY(listening->requests().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(TestQuenloApi)
#include "tst_quenloapi.moc"
