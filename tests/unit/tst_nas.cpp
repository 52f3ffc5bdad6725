// QuenloAPI over real HTTPS on loopback (a CA made for this run), and the cookie list parser its login uses.

#include "memorysecretstore.h"
#include "net/cookielist.h"
#include "net/curlglobal.h"
#include "net/quenloapi.h"

#include "httpsserver.h"
#include "testenv.h"

#include <QTcpServer>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;
using M = Milliseconds;

namespace {

const QByteArray old = "quenlo_session=old", fresh = "quenlo_session=new";
const NasTimes quick { M(3000), M(6000) }; // far above a loopback exchange, yet a hung call fails in seconds
// The whole of a request without a body after its path; nothing else goes out.
const char *get = " HTTP/1.1|Host: 127.0.0.1:PORT|Accept: */*|X-Quenlo: 1||";
const QJsonObject token { { "token", "1234" } };
const QString ok = "none|0||{}", failed = "quenlo|1|操作未成功|-", incomplete = "quenlo|1|登录回执不完整|-",
              late = "quenlo|1|连接超时，请稍后重试|-", idle = "curl|28|Timeout was reached|-";

/// The whole result on one line: "domain|code|message|reply", the reply "-" when there is none.
QString describe(const QuenloResult &r)
{
    return QStringList { "none", "quenlo", "curl" }.value(int(r.domain)) + '|' + QString::number(r.code) + '|'
        + r.message + '|' + (r.reply ? QString::fromUtf8(QJsonDocument(*r.reply).toJson(QJsonDocument::Compact)) : "-");
}

/// One QTest row per entry of \a rows (an array of rows), named by its first field; row() is its index.
template <typename Rows> void rowsOf(const Rows &rows)
{
    QTest::addColumn<int>("i");
    for (int i = 0; i < int(std::size(rows)); ++i)
        QTest::newRow(std::get<0>(rows[i])) << i;
}

const std::tuple<const char *, int, const char *, QString> replies[] = { { "200 object", 200, R"({"ok":true,"n":3})",
                                                                             R"(none|0||{"n":3,"ok":true})" },
    { "299 is a success", 299, R"({"a":1})", R"(none|0||{"a":1})" }, { "204", 204, "", "none|0||{}" },

    { "300 is no success, its error shown", 300, R"({"error":"链接格式不对"})", "quenlo|1|链接格式不对|-" },
    { "400 blank error", 400, R"({"error":" \n"})", failed }, { "400 error a number", 400, R"({"error":5})", failed },
    { "401, its text ignored", 401, R"({"error":"x"})", "quenlo|401|请先设置Quenlo登录码|-" },
    { "no status", 0, R"({"ok":true})", "quenlo|1|NAS 暂不可达|-" } };

const std::tuple<const char *, QString, const char *> paths[]
    = { { "empty", "", "" }, { "no leading slash", "api", "" }, { "space", "/a b", "" }, { "non-ASCII", "/书", "" },
          { "half escape", "/%4", "" }, { "space after escape", "/%41 x", "" }, { "second hash", "/x#a#b", "" },
          { "unreserved", "/AZaz09-._~", "/AZaz09-._~" }, { "query", "/t?x=10&y=%20z", "/t?x=10&y=%20z" },
          { "hex edges", "/%09%af%AF%E4", "/%09%af%AF%E4" }, { "sub-delims", "/a;b=c,d!$'()*+", "/a;b=c,d!$'()*+" },
          { "double slash", "//e.invalid/a", "//e.invalid/a" }, { "no fragment sent", "/x#part", "/x" } };

const std::tuple<const char *, QString, int, const char *, QByteArray, QString> logins[] = {
    { "HttpOnly and a path", "/api/session", 200, "quenlo_session=abc; HttpOnly; Path=/", "quenlo_session=abc", ok },
    { "among others", "/api/session", 201, "theme=dark\nquenlo_session=s2; Secure\nlang=zh", "quenlo_session=s2", ok },
    { "value with equals signs", "/api/session", 200, "quenlo_session=a=b==", "quenlo_session=a=b==", ok },
    { "no session cookie", "/api/session", 200, "theme=dark", old, incomplete },
    { "longer name", "/api/session", 200, "quenlo_session_v2=x", old, incomplete },
    { "POST elsewhere is no login", "/api/tasks", 200, "quenlo_session=t", old, ok },
    { "query makes another path", "/api/session?next=1", 200, "quenlo_session=q", old, ok },
    { "failed login with a cookie", "/api/session", 500, "quenlo_session=f", old, failed }
};

// persistent, item ("": none), 1: update, 2: add, 3: read fails, the session at start, the login's message, item after
const std::tuple<const char *, bool, QByteArray, int, QByteArray, QString, QByteArray> sessions[]
    = { { "replaces the item", true, old, 0, old, "", fresh }, { "creates the first item", true, "", 0, "", "", fresh },
          { "read refused", true, old, 3, "", "", fresh },
          { "update refused", true, old, 1, old, "无法更新钥匙串登录状态", old },

          { "add refused", true, "", 2, "", "无法保存登录状态到钥匙串", "" },
          { "in memory only", false, old, 0, "", "", old },
          { "UTF-8 and a space", true, "quenlo_session=会 话", 0, "quenlo_session=会 话", "", fresh },
          { "invalid UTF-8", true, "q=\xff\xfe", 0, "", "", fresh },
          { "line break", true, "q=a\r\nX: 1", 0, "", "", fresh }, { "DEL", true, "q=a\x7f", 0, "", "", fresh } };

// origin ("": the test server, "{mute}": a peer that never answers the TLS handshake, "{}" its port), its CA
// trusted, trickle pause, body, idle and deadline, result, the least time the call takes
const std::tuple<const char *, QString, bool, int, QByteArray, int, int, QString, int> transfers[]
    = { { "unknown CA", "", false, 0, "", 3000, 6000,
            "curl|60|SSL certificate problem: unable to get local issuer certificate|-", 0 },
          { "plain HTTP", "http://127.0.0.1:{}", true, 0, "", 3000, 6000,
              "curl|1|Protocol \"http\" not supported or disabled in libcurl|-", 0 },
          { "nothing listening", "https://127.0.0.1:1", true, 0, "", 3000, 6000,
              "curl|7|Failed to connect to 127.0.0.1 port 1 after N ms: Couldn't connect to server|-", 0 },
          { "a handshake that never ends", "https://127.0.0.1:{mute}", true, 0, "", 400, 3000,
              "curl|28|SSL connection timeout|-", 390 },
          // Fewer bytes than a limit on the rate (1 byte/s) would want, yet never silent for the idle limit.
          { "a byte every 1.1 s runs to the deadline", "", true, 1100, QByteArray(40, ' '), 1500, 3500, late, 3450 },
          { "silence ends at the idle limit", "", true, 100, "", 400, 3000, idle, 390 },
          { "past the size limit, headers included", "", true, 0, QByteArray(replyLimit, ' '), 3000, 6000,
              "quenlo|1|NAS 回复过大|-", 0 } };

// cookie as domain|httpOnly|subdomains|path|secure|expires|name|value ("": none)
const std::array<const char *, 3> cookieLines[] = {

    { "HttpOnly marker", "#HttpOnly_n.e.net\tFALSE\t/\tTRUE\t1893456000\tn\tv", "n.e.net|1|0|/|1|1893456000|n|v" },

    { "trailing CR LF", "h\tFALSE\t/\tFALSE\t0\tn\tv\r\n", "h|0|0|/|0|0|n|v" },
    { "comment", "#h\tFALSE\t/\tFALSE\t0\tn\tv", "" }, { "six fields", "h\tFALSE\t/\tFALSE\t0\tn", "" },
    { "expiry not a number", "h\tFALSE\t/\tFALSE\tsoon\tn\tv", "" }
};

} // namespace

class TestNas final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;

    static int row() { return *static_cast<int *>(QTest::qData("i", QMetaType::Int)); } // QFETCH, as a value
    std::unique_ptr<QuenloAPI> client(SecretStore *store, bool persist = true) const
    {
        return std::make_unique<QuenloAPI>(m_server->origin(), m_certs.caCert, store, persist, quick);
    }
    /// Each request the server got, whole, its lines ended by '|' and the server's port shown as PORT.
    QByteArrayList sent() const
    {
        QByteArrayList all;
        for (HttpsTestServer::Request r : m_server->requests())
            all << r.head.append(r.body)
                       .replace(m_server->origin().section(':', -1).toUtf8(), "PORT")
                       .replace("\r\n", "|");
        return all;
    }

private Q_SLOTS:
    void initTestCase()
    {
        unsetProxyVariables();
        m_certs = TestCertificates::make(makeFolder("certs"));
        m_server = std::make_unique<HttpsTestServer>(m_certs.serverCert, m_certs.serverKey);
        QVERIFY2(m_certs.error.isEmpty() && m_server->error().isEmpty(), qPrintable(m_certs.error + m_server->error()));
        m_server->route("GET", "/healthz", HttpsTestServer::json(200, "{}"));
    }
    void init() { m_server->clearLog(); }

    void replies_data() { rowsOf(::replies); }
    void replies()
    {
        const auto &[name, status, body, result] = ::replies[row()];
        QCOMPARE(describe(readNasReply(status, body)), result);
        m_server->route("GET", "/api/probe", HttpsTestServer::json(status, body));
        if (status >= 200)
            QCOMPARE(describe(client(nullptr, false)->call("/api/probe", std::nullopt)), result);
    }

    void paths_data() { rowsOf(::paths); }
    void paths()
    {
        const auto &[name, path, target] = ::paths[row()];
        QCOMPARE(describe(client(nullptr, false)->call(path, {})), *target ? failed : "quenlo|1|请求地址无效|-"); // 404
        QCOMPARE(sent(), *target ? QByteArrayList { "GET " + QByteArray(target) + get } : QByteArrayList {});
    }

    void login_data() { rowsOf(logins); }
    void login()
    {
        const auto &[name, path, status, cookies, session, result] = logins[row()];
        const QByteArray set = "Set-Cookie: " + QByteArray(cookies).replace("\n", "\r\nSet-Cookie: ") + "\r\n";
        m_server->route(
            "POST", path.section('?', 0, 0).toUtf8(), { HttpsTestServer::json(status, {}).head + set, "{}" });
        MemorySecretStore store(old);
        const auto api = client(&store);
        QCOMPARE(describe(api->call(path, token)), result);
        QCOMPARE(api->cookie() + ' ' + store.item.value_or("-"), session + ' ' + session);
    }

    void sessions_data() { rowsOf(::sessions); }
    void sessions()
    {
        const auto &[name, persist, item, fail, loaded, message, after] = ::sessions[row()];
        m_server->route("POST", "/api/session", HttpsTestServer::json(200, "{}", { { "Set-Cookie", fresh } }));
        MemorySecretStore store(item.isEmpty() ? std::nullopt : std::optional(item));
        std::tie(store.failUpdate, store.failAdd, store.failRead) = std::tuple(fail == 1, fail == 2, fail == 3);
        const auto api = client(&store, persist);
        QCOMPARE(api->cookie(), QString::fromUtf8(loaded));
        QCOMPARE(describe(api->call("/api/session", token)), message.isEmpty() ? ok : "quenlo|1|" + message + "|-");
        QCOMPARE(store.item.value_or(""), after);
        QCOMPARE(QList<int>({ store.reads, store.updates, store.adds }),
            QList<int>({ persist, persist, persist && item.isEmpty() && fail != 1 }));
        QCOMPARE(describe(api->call("/healthz", std::nullopt)), ok); // logged in, whatever the store did
        const QByteArray cookie = loaded.isEmpty() ? "" : "Cookie: " + loaded + '|';
        QCOMPARE(sent(),
            QByteArrayList({ "POST /api/session" + QByteArray(get).replace("||", "|") + cookie
                    + R"(Content-Type: application/json|Content-Length: 16||{"token":"1234"})",
                "GET /healthz" + QByteArray(get).replace("||", "|Cookie: " + fresh + "||") }));
    }

    void transfers_data() { rowsOf(::transfers); }
    void transfers()
    {
        auto [name, origin, trusted, pause, body, idleMs, deadlineMs, result, leastMs] = ::transfers[row()];
        QTcpServer mute;
        QVERIFY(mute.listen(QHostAddress::LocalHost));
        origin.replace("{mute}", QString::number(mute.serverPort())).replace("{}", m_server->origin().section(':', -1));
        m_server->route("GET", "/api/probe", { HttpsTestServer::json(200, {}).head, body, pause });
        const auto started = std::chrono::steady_clock::now();
        QuenloAPI api(origin.isEmpty() ? m_server->origin() : origin,
            trusted ? m_certs.caCert : m_certs.unrelatedCaCert, nullptr, false, { M(idleMs), M(deadlineMs) });
        QCOMPARE(
            describe(api.call("/api/probe", {})).replace(QRegularExpression("after \\d+ ms"), "after N ms"), result);
        QVERIFY(std::chrono::steady_clock::now() - started >= M(leastMs));
        QCOMPARE(sent().size(), pause || !body.isEmpty() ? 1 : 0); // a certificate refused: nothing left the machine
    }

    void cookieLines_data() { rowsOf(::cookieLines); }
    void cookieLines()
    {
        const auto &[name, line, cookie] = ::cookieLines[row()];
        QString got;
        if (const std::optional<NetscapeCookie> c = parseCookieLine(line))
            got = QString::asprintf("%s|%d|%d|%s|%d|%lld|%s|%s", c->domain.data(), c->httpOnly, c->includeSubdomains,
                c->path.data(), c->secure, c->expires, c->name.data(), c->value.data());
        QCOMPARE(got, QString::fromUtf8(cookie));
    }
};

QTEST_GUILESS_MAIN(TestNas)
#include "tst_nas.moc"
