// The two command-line self-tests: the local one against a stand-in server, and the HTTPS one's exchange.
#include "fakehttpserver.h"
#include "httpsserver.h"
#include "net/quenloapi.h"
#include "scripttools.h"
#include "selftest/selftest.h"
#include "service/launchagent.h"

#include <QtTest>

#include <ctime>

using namespace quenlo;
using namespace quenlo::test;

static const QString okLine = "HTTPS login and authenticated session: OK\n",
                     failedLine = "HTTPS connection selftest failed\n",
                     agentLine = "OK: 开机自启配置：写入、回读、删除都正常（menubar-selftest-%1.desktop）";

class TestSelfTest final : public QObject {
    Q_OBJECT
    TestCertificates m_certs;

    static QString printed(const std::function<int(std::FILE *)> &work, int *status)
    {
        char *text = nullptr;
        size_t size = 0;
        std::FILE *out = ::open_memstream(&text, &size);
        *status = work(out);
        std::fclose(out);
        const QString all = QString::fromUtf8(text, qsizetype(size));
        return std::free(text), all;
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "UTC"); // 4102444800 is then 2100-01-01 00:00
        tzset();
        unsetProxyVariables();
        m_certs = TestCertificates::make(makeFolder(QStringLiteral("certs")));
        QVERIFY2(m_certs.error.isEmpty(), qPrintable(m_certs.error));
    }

    void local_data()
    {
        QTest::addColumn<QString>("argument"); // "<none>": none; "<project>": a new one with server.py below
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("server"); // the stand-in's version | menu status | autosync replies, as
                                                // "STATUS BODY"; "": nothing listens, and server.log is a folder
        QTest::addColumn<QString>("lines"); // after "OK: 定位项目目录：ROOT" where there is one
        const auto row = [](const char *name, const QString &argument, const QString &lines,
                             const QByteArray &script = "APP_VERSION = \"7\"\n",
                             const QByteArray &server = "200 {\"version\":\"7\"}|404 {}|404 {}") {
            QTest::newRow(name) << argument << script << server << lines;
        };
        const QString notFound = "FAIL: 定位项目目录：%1 里没有 server.py\n";
        row("no project anywhere", "<none>", "FAIL: 定位项目目录：App 旁边没有 server.py，也没有记住过的位置\n");
        row("tilde, dot-dot", "~/a/../b/./", notFound.arg(QDir::homePath() + "/b"));
        row("above the root", "/../..", notFound.arg("/"));
        const QString failed = "\n自检未通过\n";
        const QByteArray v7 = "APP_VERSION = \"7\"\n", next = ", \"next\": 4102444800}";
        row("reused, endpoints not offered yet", "<project>",
            "OK: 服务已在运行，直接复用（运行中 7，磁盘 7）\nSKIP: 菜单状态 /api/menu-status（端点尚未上线）\n"
            "SKIP: 自动同步 /api/autosync（端点尚未上线）\nAGENT\n自检全部通过\n");
        row("newer on disk, counts, autosync off", "<project>",
            "OK: 服务已在运行，直接复用（运行中 7，磁盘 8）\nOK: 菜单状态 /api/menu-status：未读 3 条，运行中 1 "
            "个，排队 0 个\n"
            "OK: 自动同步 /api/autosync：关闭\nAGENT\n自检全部通过\n",
            "APP_VERSION = \"8\"\n",
            "200 {\"version\":\"7\"}|200 {\"unread\": 3, \"jobs\": [{}], \"queue\": []}|200 {\"hours\": 0" + next);
        row("no version on disk, not JSON, every 6 hours", "<project>",
            "OK: 服务已在运行，直接复用（运行中 7，磁盘 未知）\nFAIL: 菜单状态 /api/menu-status：HTTP 200\n"
            "OK: 自动同步 /api/autosync：每 6 小时，下次 1月1日 00:00\nAGENT"
                + failed,
            "print()\n", "200 {\"version\":\"7\"}|200 <html>|200 {\"hours\": 6" + next);
        row("running version a number, server error, daily", "<project>",
            "OK: 服务已在运行，直接复用（运行中 未知，磁盘 7）\nFAIL: 菜单状态 /api/menu-status：HTTP 500\n"
            "OK: 自动同步 /api/autosync：每天\nAGENT"
                + failed,
            v7, "200 {\"version\":7}|500 {}|200 {\"hours\": 24}");
        row("server fails, nothing listens", "<project>",
            "FAIL: 确保服务可用：无法写入 server.log\nFAIL: 菜单状态 /api/menu-status：连不上服务\n"
            "FAIL: 自动同步 /api/autosync：连不上服务\nAGENT"
                + failed,
            v7, "");
    }
    void local()
    {
        QFETCH(QString, argument);
        QFETCH(QByteArray, server);
        QFETCH(QString, lines);
        FakeHttpServer stand;
        const QList<QByteArray> replies = server.split('|');
        const char *paths[] = { "/api/version", "/api/menu-status", "/api/autosync" };
        for (int i = 0; i < 3; ++i) {
            const QByteArray reply = replies.value(i, "404 {}");
            stand.route("GET", paths[i], FakeHttpServer::json(reply.left(3).toInt(), reply.mid(4)));
        }
        Settings settings;
        settings.service.port = server.isEmpty() ? freePort() : stand.port();
        if (argument == QStringLiteral("<project>")) {
            QFETCH(QByteArray, script);
            argument = makeFolder(QStringLiteral("project"));
            QVERIFY(writeFile(argument + "/server.py", script));
            QVERIFY(server.size() || QDir().mkpath(argument + QStringLiteral("/server.log")));
            lines = QStringLiteral("OK: 定位项目目录：") + argument + '\n' + lines;
        }
        const QString loginItem = launchAgentURL(); // the agent file goes to TMPDIR, never here
        QVERIFY(writeFile(loginItem, "mine"));
        int status = -1;
        const QString out = printed(
            [&](std::FILE *to) {
                return runSelfTest(argument == "<none>" ? std::nullopt : std::optional(argument), settings, to);
            },
            &status);
        QCOMPARE(out, QString(lines).replace(QStringLiteral("AGENT"), agentLine.arg(::getpid())));
        QCOMPARE(status, lines.contains(QStringLiteral("FAIL: ")) ? 1 : 0);
        QCOMPARE(QDir(QDir::tempPath()).entryList({ QStringLiteral("menubar-selftest-*") }), QStringList());
        qputenv("LOCAL_LIBRARY_PORT", QByteArray::number(settings.service.port)); // the same from the binary
        QProcess binary;
        binary.start(menubarBinary(), QStringList { "--selftest", argument }.mid(0, argument == "<none>" ? 1 : 2));
        const qint64 pid = binary.waitForStarted() ? binary.processId() : 0;
        QVERIFY(binary.waitForFinished(10000));
        QCOMPARE(
            QString::fromUtf8(binary.readAllStandardOutput()), QString(lines).replace("AGENT", agentLine.arg(pid)));
        QCOMPARE(readAll(loginItem) + QByteArray::number(QDir(QFileInfo(loginItem).path()).count()), "mine3");
    }

    void https_data()
    {
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<int>("login"); // its status; 0: nothing listens there
        QTest::addColumn<QByteArray>("session"); // "STATUS BODY"
        QTest::addColumn<QString>("token"); // what the login sent; "<none>": not even a connection
        QTest::addColumn<QString>("out");
        const QByteArray good = R"({"token": "good"})", yes = R"(200 {"authenticated": true})";
        QTest::newRow("authenticated, long input, other strings") // input read to its end
            << QByteArray(5000, ' ') + R"({"x": "y", "token": "good"})" << 200 << yes << "good" << okLine;
        QTest::newRow("not authenticated") << good << 200 << QByteArray(R"(200 {"user": "me"})") << "good" << QString();
        QTest::newRow("session refused") << good << 200 << QByteArray("401 {}") << "good" << failedLine;
        QTest::newRow("code refused") << good << 401 << yes << "good" << failedLine;
        QTest::newRow("nothing listens") << good << 0 << yes << "<none>" << failedLine;
    }
    void https()
    {
        QFETCH(QByteArray, input);
        QFETCH(int, login);
        QFETCH(QByteArray, session);
        QFETCH(QString, token);
        HttpsTestServer server(m_certs.serverCert, m_certs.serverKey);
        server.route("POST", "/api/session",
            HttpsTestServer::json(login, "{}", { { "Set-Cookie", "quenlo_session=s1; Path=/; Secure" } }));
        server.route("GET", "/api/session", HttpsTestServer::json(session.left(3).toInt(), session.mid(4)));
        QuenloAPI api(login ? server.origin() : "https://127.0.0.1:" + QString::number(freePort()), m_certs.caCert,
            nullptr, false);
        std::FILE *in = ::fmemopen(input.data(), size_t(input.size()), "r");
        int status = -1;
        const QString out = printed([&](std::FILE *to) { return runHTTPSSelfTest(api, in, to); }, &status);
        std::fclose(in);
        QTEST(out, "out");
        QCOMPARE(status, out == okLine ? 0 : 1);
        const QList<HttpsTestServer::Request> requests = server.requests();
        QCOMPARE(requests.size(), token == QStringLiteral("<none>") ? 0 : login == 200 ? 2 : 1);
        if (!requests.isEmpty()) // the login
            QCOMPARE(QJsonDocument::fromJson(requests[0].body).object(), (QJsonObject { { "token", token } }));
    }
};

QTEST_GUILESS_MAIN(TestSelfTest)
#include "tst_selftest.moc"
