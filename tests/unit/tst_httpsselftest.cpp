// The HTTPS self-test as a child process against a real HTTPS server on loopback with a CA
// made for this run. quenlo-httpsselftest runs the product's self-test code with the test
// server's origin and CA; the product binary itself is run for what needs no server.

#include "fakehttpserver.h"
#include "httpsserver.h"
#include "selftestrun.h"
#include "testenv.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(quenlo::test::HttpsTestServer::Route)

using namespace quenlo::test;

namespace {

using Route = HttpsTestServer::Route;

const QByteArray okLine = "HTTPS login and authenticated session: OK\n";
const QByteArray failedLine = "HTTPS connection selftest failed\n";
const QByteArray sessionCookie = "quenlo_session=s3cr3t";

Route loginAccepted()
{
    return HttpsTestServer::json(
        200, R"({"ok": true})", { { "Set-Cookie", sessionCookie + "; Path=/; Secure; HttpOnly; SameSite=Lax" } });
}

Route loginRefused()
{
    return HttpsTestServer::json(401, R"({"error": "登录码不对"})");
}

QString runner()
{
    return QStringLiteral(QUENLO_HTTPSSELFTEST_BIN);
}

} // namespace

class TestHTTPSSelfTest final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;

    ChildRun selfTest(const QByteArray &input, const QString &origin = {}, const QString &ca = {})
    {
        return runChild(runner(),
            { origin.isEmpty() ? m_server->origin() : origin, ca.isEmpty() ? m_certs.caCert : ca }, {}, {},
            [input](QProcess &child) { child.write(input); });
    }

    /// The login request the server received first, with its body as an object.
    void verifyLogin(const HttpsTestServer::Request &request, const QString &token)
    {
        QCOMPARE(request.method, QByteArray("POST"));
        QCOMPARE(request.target, QByteArray("/api/session"));
        QCOMPARE(request.values("Content-Type"), QList<QByteArray> { "application/json" });
        const QJsonDocument body = QJsonDocument::fromJson(request.body);
        QVERIFY2(body.isObject(), request.body.constData());
        QCOMPARE(body.object(), (QJsonObject { { QStringLiteral("token"), token } }));
    }

    void verifySessionCheck(const HttpsTestServer::Request &request)
    {
        QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(request.target, QByteArray("/api/session"));
        QCOMPARE(request.body, QByteArray());
        QCOMPARE(request.values("Cookie"), QList<QByteArray> { sessionCookie });
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(QFileInfo::exists(runner()));
        m_certs = TestCertificates::make(makeFolder(QStringLiteral("certs")));
        QVERIFY2(m_certs.error.isEmpty(), qPrintable(m_certs.error));
        m_server = std::make_unique<HttpsTestServer>(m_certs.serverCert, m_certs.serverKey);
        QVERIFY2(m_server->error().isEmpty(), qPrintable(m_server->error()));
    }

    void init()
    {
        m_server->clearRoutes();
        m_server->clearLog();
        m_server->route("GET", "/api/session", HttpsTestServer::json(200, R"({"authenticated": true})"));
    }

    void cleanupTestCase() { m_server.reset(); }

    void input_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<bool>("loginSent");
        QTest::addColumn<QString>("token"); ///< the code the login carries
        QTest::addColumn<QByteArray>("out");

        // The server takes only "good-code"; every other code is refused with 401.
        const QString good = QStringLiteral("good-code");
        QTest::newRow("object with token") << QByteArray(R"({"token": "good-code"})") << true << good << okLine;
        QTest::newRow("white space around it")
            << QByteArray(" \n{\"token\": \"good-code\"}\n\n") << true << good << okLine;
        QTest::newRow("further string entries")
            << QByteArray(R"({"note": "x", "token": "good-code"})") << true << good << okLine;
        QTest::newRow("wrong code") << QByteArray(R"({"token": "wrong"})") << true << QStringLiteral("wrong")
                                    << failedLine;

        // Valid JSON without a usable code: the login goes ahead with an empty one.
        QTest::newRow("array") << QByteArray(R"(["good-code"])") << true << QString() << failedLine;
        QTest::newRow("token a number") << QByteArray(R"({"token": 123})") << true << QString() << failedLine;
        QTest::newRow("another entry not a string")
            << QByteArray(R"({"token": "good-code", "remember": true})") << true << QString() << failedLine;

        // Not JSON the test can read: nothing is sent at all.
        QTest::newRow("empty input") << QByteArray() << false << QString() << failedLine;
        QTest::newRow("not JSON") << QByteArray("good-code\n") << false << QString() << failedLine;
        QTest::newRow("cut short") << QByteArray("{\"token\": \"good") << false << QString() << failedLine;
        QTest::newRow("garbage after the object")
            << QByteArray(R"({"token": "good-code"} x)") << false << QString() << failedLine;
        QTest::newRow("invalid UTF-8") << QByteArray("{\"token\": \"\xff\"}") << false << QString() << failedLine;
    }

    void input()
    {
        QFETCH(QByteArray, input);
        QFETCH(bool, loginSent);
        QFETCH(QString, token);
        QFETCH(QByteArray, out);

        m_server->route(
            "POST", "/api/session", token == QStringLiteral("good-code") ? loginAccepted() : loginRefused());
        const ChildRun run = selfTest(input);
        QVERIFY(run.finished);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.out, out);
        QCOMPARE(run.exitCode, out == okLine ? 0 : 1);

        const QList<HttpsTestServer::Request> requests = m_server->requests();
        if (!loginSent) {
            QCOMPARE(requests.size(), 0);
            QCOMPARE(m_server->connections(), 0);
            return;
        }
        // A refused login ends the test before the session check.
        QCOMPARE(requests.size(), out == okLine ? 2 : 1);
        verifyLogin(requests.at(0), token);
        if (out == okLine)
            verifySessionCheck(requests.at(1));
    }

    void sessionReply_data()
    {
        QTest::addColumn<Route>("reply");
        QTest::addColumn<QByteArray>("out");

        using S = HttpsTestServer;
        QTest::newRow("authenticated") << S::json(200, R"({"authenticated": true, "user": "me"})") << okLine;
        QTest::newRow("authenticated missing") << S::json(200, R"({"user": "me"})") << QByteArray();
        QTest::newRow("authenticated false") << S::json(200, R"({"authenticated": false})") << QByteArray();
        QTest::newRow("authenticated as text") << S::json(200, R"({"authenticated": "true"})") << QByteArray();
        QTest::newRow("body not JSON") << S::json(200, "authenticated") << QByteArray();
        QTest::newRow("session refused") << S::json(401, R"({"authenticated": true})") << failedLine;
    }

    void sessionReply()
    {
        QFETCH(Route, reply);
        QFETCH(QByteArray, out);

        m_server->route("POST", "/api/session", loginAccepted());
        m_server->route("GET", "/api/session", reply);
        const ChildRun run = selfTest(R"({"token": "good-code"})");
        QVERIFY(run.finished);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.out, out);
        QCOMPARE(run.exitCode, out == okLine ? 0 : 1);
        const QList<HttpsTestServer::Request> requests = m_server->requests();
        QCOMPARE(requests.size(), 2);
        verifyLogin(requests.at(0), QStringLiteral("good-code"));
        verifySessionCheck(requests.at(1));
    }

    void loginFails_data()
    {
        QTest::addColumn<Route>("reply");

        using S = HttpsTestServer;
        QTest::newRow("401") << loginRefused();
        QTest::newRow("server error") << S::json(500, R"({"error": "db"})", { { "Set-Cookie", sessionCookie } });
        QTest::newRow("no session cookie") << S::json(200, R"({"ok": true})");
        QTest::newRow("another cookie only")
            << S::json(200, R"({"ok": true})", { { "Set-Cookie", "theme=dark; Path=/" } });
    }

    void loginFails()
    {
        QFETCH(Route, reply);

        m_server->route("POST", "/api/session", reply);
        const ChildRun run = selfTest(R"({"token": "good-code"})");
        QVERIFY(run.finished);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.out, failedLine);
        QCOMPARE(run.exitCode, 1);
        // No session check follows a failed login.
        const QList<HttpsTestServer::Request> requests = m_server->requests();
        QCOMPARE(requests.size(), 1);
        verifyLogin(requests.at(0), QStringLiteral("good-code"));
    }

    void transportFails_data()
    {
        QTest::addColumn<QString>("origin"); ///< empty: the test server
        QTest::addColumn<QString>("ca"); ///< empty: the CA that signed the test server
        QTest::newRow("certificate from an untrusted CA") << QString() << m_certs.unrelatedCaCert;
        QTest::newRow("nothing listening") << QStringLiteral("https://127.0.0.1:%1").arg(freePort()) << QString();
    }

    void transportFails()
    {
        QFETCH(QString, origin);
        QFETCH(QString, ca);

        m_server->route("POST", "/api/session", loginAccepted());
        const ChildRun run = selfTest(R"({"token": "good-code"})", origin, ca);
        QVERIFY(run.finished);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.out, failedLine);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(m_server->requests().size(), 0);
    }

    void inputReadToItsEnd()
    {
        // The code arrives in two pieces; nothing may be sent before the input is closed.
        m_server->route("POST", "/api/session", loginAccepted());
        int sentEarly = -1;
        const ChildRun run = runChild(runner(), { m_server->origin(), m_certs.caCert }, {}, {}, [&](QProcess &child) {
            child.write("{\"tok");
            child.waitForBytesWritten(5000);
            QThread::msleep(700);
            sentEarly = m_server->connections();
            child.write("en\": \"good-code\"}");
            child.waitForBytesWritten(5000);
        });
        QCOMPARE(sentEarly, 0);
        QVERIFY(run.finished);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.out, okLine);
        QCOMPARE(run.exitCode, 0);
        verifyLogin(m_server->requests().value(0), QStringLiteral("good-code"));
    }

    void productBinary()
    {
        // The shipped entry point runs the same test; unreadable input fails before any
        // connection, so no network is needed.
        const ChildRun run = runChild(menubarBinary(), { QStringLiteral("--selftest-https") }, {}, {},
            [](QProcess &child) { child.write("{"); });
        QVERIFY(run.finished);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.out, failedLine);
        QCOMPARE(run.exitCode, 1);
    }
};

QTEST_GUILESS_MAIN(TestHTTPSSelfTest)
#include "tst_httpsselftest.moc"
