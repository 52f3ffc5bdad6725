// The HTTPS self-test against a real HTTPS server on loopback with a CA made for this run.
// runHTTPSSelfTest() runs in this process with the test server's origin and CA (the product
// has no switch for either); the product binary itself is run for what needs no server.

#include "fakehttpserver.h"
#include "httpsserver.h"
#include "net/quenloapi.h"
#include "selftest/selftest.h"
#include "selftestrun.h"
#include "testenv.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include <unistd.h>

Q_DECLARE_METATYPE(quenlo::test::HttpsTestServer::Route)

using namespace quenlo;
using namespace quenlo::test;

namespace {

using Route = HttpsTestServer::Route;
using S = HttpsTestServer;

const QByteArray okLine = "HTTPS login and authenticated session: OK\n";
const QByteArray failedLine = "HTTPS connection selftest failed\n";
const QByteArray sessionCookie = "quenlo_session=s3cr3t";
const QByteArray goodInput = R"({"token": "good-code"})";

Route accepted()
{
    return S::json(200, R"({"ok": true})", { { "Set-Cookie", sessionCookie + "; Path=/; Secure; HttpOnly; SameSite=Lax" } });
}

Route authenticated()
{
    return S::json(200, R"({"authenticated": true, "user": "me"})");
}

/// Standard input of the self-test: what \a write puts into a pipe before closing it.
struct Result {
    int status = -1;
    QByteArray out;
};
Result selfTest(const QString &origin, const QString &ca, const std::function<void(int)> &write)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return {};
    std::thread writer([&] {
        write(fds[1]);
        ::close(fds[1]);
    });
    std::FILE *in = ::fdopen(fds[0], "r");
    char *buffer = nullptr;
    size_t size = 0;
    std::FILE *out = ::open_memstream(&buffer, &size);
    QuenloAPI api(origin, ca, nullptr, false);
    Result result;
    result.status = runHTTPSSelfTest(api, in, out);
    writer.join();
    std::fclose(in);
    std::fclose(out);
    result.out = QByteArray(buffer, qsizetype(size));
    std::free(buffer);
    return result;
}

void writeAll(int fd, const QByteArray &bytes)
{
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n <= 0)
            return;
        done += n;
    }
}

} // namespace

class TestHTTPSSelfTest final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;

    Result run(const QByteArray &input, const QString &origin = {}, const QString &ca = {})
    {
        return selfTest(origin.isEmpty() ? m_server->origin() : origin, ca.isEmpty() ? m_certs.caCert : ca,
            [input](int fd) { writeAll(fd, input); });
    }

    /// The login the server received, its body the object {"token": \a token}.
    void verifyLogin(const HttpsTestServer::Request &request, const QString &token)
    {
        QCOMPARE(request.method + ' ' + request.target, QByteArray("POST /api/session"));
        QCOMPARE(request.values("Content-Type"), QList<QByteArray> { "application/json" });
        QCOMPARE(QJsonDocument::fromJson(request.body).object(), (QJsonObject { { QStringLiteral("token"), token } }));
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
    void cleanupTestCase() { m_server.reset(); }

    void exchange_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<Route>("login");
        QTest::addColumn<Route>("session");
        QTest::addColumn<QString>("token"); // the code the login carries; "<none>": nothing is sent
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<bool>("loggedIn"); // a session check follows
        const Route refused = S::json(401, R"({"error": "登录码不对"})");
        const auto row = [&](const char *name, const QByteArray &input, const Route &login, const Route &session,
                             const QString &token, const QByteArray &out, bool loggedIn = false) {
            QTest::newRow(name) << input << login << session << token << out << loggedIn;
        };
        const QString good = QStringLiteral("good-code");
        const QString none = QStringLiteral("<none>");
        row("object with token", goodInput, accepted(), authenticated(), good, okLine, true);
        row("white space, further string entries", " \n{\"note\": \"x\", \"token\": \"good-code\"}\n\n", accepted(),
            authenticated(), good, okLine, true);
        row("wrong code", R"({"token": "wrong"})", refused, authenticated(), "wrong", failedLine);
        // Valid JSON without a usable code: the login goes ahead with an empty one.
        row("array", R"(["good-code"])", refused, authenticated(), "", failedLine);
        row("token a number", R"({"token": 123})", refused, authenticated(), "", failedLine);
        row("another entry not a string", R"({"token": "good-code", "remember": true})", refused, authenticated(), "",
            failedLine);
        // Not JSON the test can read: nothing is sent at all.
        row("empty input", "", accepted(), authenticated(), none, failedLine);
        row("not JSON", "good-code\n", accepted(), authenticated(), none, failedLine);
        row("cut short", "{\"token\": \"good", accepted(), authenticated(), none, failedLine);
        row("garbage after the object", goodInput + " x", accepted(), authenticated(), none, failedLine);
        row("invalid UTF-8", "{\"token\": \"\xff\"}", accepted(), authenticated(), none, failedLine);
        // The login fails: no session check follows.
        row("server error, with a cookie", goodInput, S::json(500, R"({"error": "db"})", { { "Set-Cookie", sessionCookie } }),
            authenticated(), good, failedLine);
        row("no session cookie", goodInput, S::json(200, R"({"ok": true})"), authenticated(), good, failedLine);
        row("another cookie only", goodInput, S::json(200, "{}", { { "Set-Cookie", "theme=dark; Path=/" } }),
            authenticated(), good, failedLine);
        // The session check: only an authenticated session passes; nothing is printed otherwise.
        row("authenticated missing", goodInput, accepted(), S::json(200, R"({"user": "me"})"), good, "", true);
        row("authenticated as text", goodInput, accepted(), S::json(200, R"({"authenticated": "true"})"), good, "", true);
        row("session body not JSON", goodInput, accepted(), S::json(200, "authenticated"), good, "", true);
        row("session refused", goodInput, accepted(), S::json(401, R"({"authenticated": true})"), good, failedLine, true);
    }
    void exchange()
    {
        QFETCH(QByteArray, input);
        QFETCH(Route, login);
        QFETCH(Route, session);
        QFETCH(QString, token);
        QFETCH(QByteArray, out);
        QFETCH(bool, loggedIn);
        m_server->route("POST", "/api/session", login);
        m_server->route("GET", "/api/session", session);
        const Result result = run(input);
        QCOMPARE(result.out, out);
        QCOMPARE(result.status, out == okLine ? 0 : 1);

        const QList<HttpsTestServer::Request> requests = m_server->requests();
        if (token == QStringLiteral("<none>")) {
            QCOMPARE(m_server->connections(), 0);
            return;
        }
        QCOMPARE(requests.size(), loggedIn ? 2 : 1);
        verifyLogin(requests.at(0), token);
        if (requests.size() > 1) {
            // The GET carries the cookie the login just set.
            QCOMPARE(requests.at(1).method + ' ' + requests.at(1).target, QByteArray("GET /api/session"));
            QCOMPARE(requests.at(1).body, QByteArray());
            QCOMPARE(requests.at(1).values("Cookie"), QList<QByteArray> { sessionCookie });
        }
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
        m_server->route("POST", "/api/session", accepted());
        const Result result = run(goodInput, origin, ca);
        QCOMPARE(result.out, failedLine);
        QCOMPARE(result.status, 1);
        QCOMPARE(m_server->requests().size(), 0);
    }

    void inputReadToItsEnd()
    {
        // The code arrives in two pieces; nothing may be sent before the input is closed.
        m_server->route("POST", "/api/session", accepted());
        m_server->route("GET", "/api/session", authenticated());
        int sentEarly = -1;
        const Result result = selfTest(m_server->origin(), m_certs.caCert, [&](int fd) {
            writeAll(fd, "{\"tok");
            QThread::msleep(500);
            sentEarly = m_server->connections();
            writeAll(fd, "en\": \"good-code\"}");
        });
        QCOMPARE(sentEarly, 0);
        QCOMPARE(result.out, okLine);
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
