// The two command-line self-tests: the local one's lines and exit status (here, against a stand-in
// server; the product binary once, on the demo library) and the HTTPS one's exchange.
#include "fakehttpserver.h"
#include "httpsserver.h"
#include "net/localapi.h"
#include "net/quenloapi.h"
#include "processinfo.h"
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

    // What \a work printed, its own standard output caught in a file outside the temporary folder.
    static QString printed(const std::function<int()> &work, int *status)
    {
        QTemporaryFile file(scratchDir() + QStringLiteral("/out-XXXXXX"));
        std::fflush(stdout);
        const int saved = ::dup(1);
        if (file.open() && ::dup2(file.handle(), 1) == 1)
            *status = work();
        std::fflush(stdout);
        ::dup2(saved, 1);
        ::close(saved);
        return file.seek(0) ? QString::fromUtf8(file.readAll()) : QString();
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "UTC"); // 4102444800 is then 2100-01-01 00:00
        tzset();
        QDir::setCurrent(scratchDir());
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
        const QString notFound = "FAIL: 定位项目目录：%1 里没有 server.py\n", here = QDir::currentPath();
        row("no project anywhere", "<none>", "FAIL: 定位项目目录：App 旁边没有 server.py，也没有记住过的位置\n");
        row("tilde, dot-dot", "~/a/../b/./", notFound.arg(QDir::homePath() + "/b"));
        row("another user's home", "~root/x/..", notFound.arg("/root"));
        row("unknown user as typed", "~nobody-q/a", notFound.arg(here + "/~nobody-q/a"));
        row("relative", "a/./b/../c", notFound.arg(here + "/a/c"));
        row("above the root", "/../..", notFound.arg("/"));
        row("a folder named ..x", "/..x/y", notFound.arg("/..x/y"));
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
        const auto run
            = [&] { return runSelfTest(argument == "<none>" ? std::nullopt : std::optional(argument), settings); };
        const QString out = printed(run, &status);
        QCOMPARE(out, QString(lines).replace(QStringLiteral("AGENT"), agentLine.arg(::getpid())));
        QCOMPARE(status, lines.contains(QStringLiteral("FAIL: ")) ? 1 : 0);
        QCOMPARE(QDir(QDir::tempPath()).entryList({ QStringLiteral("menubar-selftest-*") }), QStringList());
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
        QTest::newRow("an array: no code") << QByteArray(R"(["good"])") << 401 << yes << "" << failedLine;
        QTest::newRow("a number beside: no code")
            << QByteArray(R"({"token": "good", "n": 5})") << 401 << yes << "" << failedLine;
        QTest::newRow("not JSON") << QByteArray("good") << 200 << yes << "<none>" << failedLine;
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
        const QString out = printed([&] { return runHTTPSSelfTest(api, in, stdout); }, &status);
        std::fclose(in);
        QTEST(out, "out");
        QCOMPARE(status, out == okLine ? 0 : 1);
        const QList<HttpsTestServer::Request> requests = server.requests();
        QCOMPARE(requests.size(), token == QStringLiteral("<none>") ? 0 : login == 200 ? 2 : 1);
        if (!requests.isEmpty()) // the login
            QCOMPARE(QJsonDocument::fromJson(requests[0].body).object(), (QJsonObject { { "token", token } }));
    }

    void productBinary()
    {
        // The shipped entry point: it starts the demo library and leaves it running.
        const QString root = copyDemoLibrary();
        QVERIFY(writeFile(root + QStringLiteral("/autosync.json"), R"({"hours": 6, "next": 4102444800})"));
        const quint16 port = freePort();
        qputenv("LOCAL_LIBRARY_PORT", QByteArray::number(port));
        QProcess child;
        child.start(menubarBinary(), { QStringLiteral("--selftest"), root });
        const qint64 pid = child.waitForStarted() ? child.processId() : 0;
        QVERIFY(child.waitForFinished(30000));
        const int running = ask(ServiceAddress { port }, endpoints::version).status;
        endListeners(port, 0);
        QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()),
            "OK: 定位项目目录：" + root + "\nOK: 服务已拉起（磁盘版本 3，端口 " + QString::number(port)
                + "）\nOK: 菜单状态 /api/menu-status：未读 3 条，运行中 0 个，排队 0 个\n"
                  "OK: 自动同步 /api/autosync：每 6 小时，下次 1月1日 00:00\n"
                + agentLine.arg(pid) + "\n自检全部通过\n");
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(running, 200);
    }
};

QTEST_GUILESS_MAIN(TestSelfTest)
#include "tst_selftest.moc"
