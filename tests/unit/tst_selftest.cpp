// quenlo-menubar --selftest against an in-process stand-in for a running library server.
// The binary runs as a child where the command line, the working folder, the binary's own
// folder or the environment matter: where the project root comes from, the port, the
// temporary folder. The checks of a found root run in this process: the version line of a
// reused server, and every kind of reply of the two status endpoints.

#include "selftestbench.h"
#include "model/identity.h"
#include "scripttools.h"
#include "service/projectroot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <memory>

#include <pwd.h>

Q_DECLARE_METATYPE(quenlo::test::FakeHttpServer::Reply)

using namespace quenlo;
using namespace quenlo::test;

namespace {

using Reply = FakeHttpServer::Reply;

const QString noRootLine = QStringLiteral("FAIL: 定位项目目录：App 旁边没有 server.py，也没有记住过的位置");

void remember(const QString &root)
{
    QSettings settings = companionSettings();
    settings.setValue(projectPathKey, root);
    settings.sync();
}

Reply text(int status, const QByteArray &body)
{
    Reply reply = FakeHttpServer::json(status, body);
    reply.contentType = "text/html";
    return reply;
}

Reply dropped()
{
    Reply reply;
    reply.dropSilently = true;
    return reply;
}

// 2100-01-01 00:00 UTC: a date in no year's "today" or "tomorrow".
const QByteArray farNext = "4102444800";

} // namespace

class TestSelfTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<SelfTestBench> m_bench;

private Q_SLOTS:
    void init()
    {
        m_bench = std::make_unique<SelfTestBench>();
        QSettings settings = companionSettings();
        settings.remove(projectPathKey);
        settings.sync();
    }

    void cleanup() { m_bench.reset(); }

    void noProjectRoot_data()
    {
        QTest::addColumn<QString>("remembered");
        QTest::newRow("nothing remembered") << QString();
        QTest::newRow("remembered folder lost its server.py") << makeFolder(QStringLiteral("emptied"));
    }
    void noProjectRoot()
    {
        QFETCH(QString, remembered);
        // The binary's own folder is the first place looked at.
        QVERIFY(!QFileInfo::exists(QFileInfo(menubarBinary()).absolutePath() + QStringLiteral("/server.py")));
        if (!remembered.isEmpty())
            remember(remembered);

        const ChildRun run = m_bench->run({ QStringLiteral("--selftest") });
        verifyQuiet(run);
        QCOMPARE(run.lines(), QStringList { noRootLine });
        QCOMPARE(run.exitCode, 1);
        // Nothing after the root ran: no request, no agent file; a stale value stays.
        QCOMPARE(m_bench->server().requests().size(), 0);
        QCOMPARE(entriesOf(m_bench->tmp()), QStringList());
        QCOMPARE(companionSettings().value(projectPathKey).toString(), remembered);
    }

    void rootArgumentWithoutServerScript_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("shown");
        const QString home = QDir::homePath();
        const QString here = QDir(scratchDir()).filePath(QStringLiteral("cwd"));
        QTest::newRow("tilde with dot-dot") << "~/library/../elsewhere/./" << home + "/elsewhere";
        QTest::newRow("another user's home")
            << "~root/x/.." << QDir::cleanPath(QFile::decodeName(::getpwnam("root")->pw_dir));
        QTest::newRow("unknown user stays as typed") << "~no-such-user-q/a" << here + "/~no-such-user-q/a";
        QTest::newRow("relative to the working folder") << "a/./b/../c" << here + "/a/c";
        QTest::newRow("dot-dot above the root") << "/../.." << QStringLiteral("/");
        const QString dangling = makeFolder(QStringLiteral("dangling"));
        QFile::link(dangling + QStringLiteral("/nowhere.py"), dangling + QStringLiteral("/server.py"));
        QTest::newRow("server.py links to nothing") << dangling << dangling;
    }
    void rootArgumentWithoutServerScript()
    {
        QFETCH(QString, argument);
        QFETCH(QString, shown);
        const QString here = QDir(scratchDir()).filePath(QStringLiteral("cwd"));
        QVERIFY(QDir().mkpath(here));
        const ChildRun run = m_bench->run({ QStringLiteral("--selftest"), argument }, {}, here);
        verifyQuiet(run);
        QCOMPARE(run.lines(),
            QStringList { QStringLiteral("FAIL: 定位项目目录：") + shown + QStringLiteral(" 里没有 server.py") });
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(m_bench->server().requests().size(), 0);
    }

    void projectFound_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<bool>("besideBinary");
        const QString plain = writeProject();
        QTest::newRow("argument among other options")
            << plain << QStringList { "-v", "--selftest", plain, "--selftest" } << QString() << false;
        const QString home = writeProject("APP_VERSION = \"7\"\n", QDir::homePath() + QStringLiteral("/projects/quenlo"));
        QTest::newRow("argument with tilde") << home << QStringList { "--selftest", "~/projects/./quenlo/" } << QString()
                                             << false;
        const QString remembered = writeProject();
        QTest::newRow("remembered") << remembered << QStringList { "--selftest" } << remembered << false;
        const QString beside = writeProject();
        QTest::newRow("beside the application") << beside << QStringList { "--selftest" } << QString() << true;
    }
    void projectFound()
    {
        QFETCH(QString, root);
        QFETCH(QStringList, arguments);
        QFETCH(QString, remembered);
        QFETCH(bool, besideBinary);
        if (!remembered.isEmpty())
            remember(remembered);
        QString binary = menubarBinary();
        if (besideBinary) {
            binary = root + QStringLiteral("/quenlo-menubar");
            QVERIFY(QFile::copy(menubarBinary(), binary));
        }

        // The stand-in is found through LOCAL_LIBRARY_PORT, and only read from.
        const ChildRun run = m_bench->run(arguments, {}, {}, binary);
        verifyQuiet(run);
        QCOMPARE(run.lines(), selfTestLines(root, reused77Line, menuSkipLine, autosyncSkipLine, agentOkLine(run.pid), false));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!m_bench->server().requestsFor("GET", "/api/version").isEmpty());
        for (const FakeHttpServer::Request &request : m_bench->server().requests())
            QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(entriesOf(m_bench->tmp()), QStringList());
        // A project found beside the application is remembered, as the menu remembers it.
        if (besideBinary)
            QCOMPARE(companionSettings().value(projectPathKey).toString(), root);
    }

    void agentFile_data()
    {
        QTest::addColumn<QString>("temporaryFolder"); ///< empty: TMPDIR unset
        QTest::addColumn<QString>("failure"); ///< the FAIL line's reason; empty: passes; "*": any
        QTest::newRow("default temporary folder") << QString() << QString();
        const QString missing = makeFolder(QStringLiteral("gone")) + QStringLiteral("/missing");
        QTest::newRow("temporary folder missing") << missing << "临时文件夹不存在（" + missing + "）";
        const QString file = makeFolder(QStringLiteral("plain")) + QStringLiteral("/file");
        writeFile(file, "keep me");
        QTest::newRow("temporary folder is a file") << file << QStringLiteral("*");
    }
    void agentFile()
    {
        QFETCH(QString, temporaryFolder);
        QFETCH(QString, failure);
        const QString root = writeProject();
        const ChildRun run = m_bench->run({ QStringLiteral("--selftest"), root },
            { temporaryFolder.isEmpty() ? "TMPDIR" : "TMPDIR=" + temporaryFolder });
        verifyQuiet(run);
        const QStringList lines = run.lines();
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.mid(0, 4), selfTestLines(root, reused77Line, menuSkipLine, autosyncSkipLine, {}, false).mid(0, 4));
        const QString name = QStringLiteral("menubar-selftest-%1%2").arg(run.pid).arg(agentExtension);
        if (failure.isEmpty()) {
            QCOMPARE(lines.mid(4), (QStringList { agentOkLine(run.pid), passedLine }));
            QCOMPARE(run.exitCode, 0);
        } else {
            const QString prefix = QStringLiteral("FAIL: 开机自启配置：");
            QVERIFY2(lines.at(4).startsWith(prefix) && lines.at(4).size() > prefix.size(), qPrintable(lines.at(4)));
            if (failure != QStringLiteral("*"))
                QCOMPARE(lines.at(4), prefix + failure);
            QCOMPARE(lines.at(5), notPassedLine);
            QCOMPARE(run.exitCode, 1);
        }
        // No agent file is left anywhere it could have gone, and nothing took the place of a
        // temporary folder that is not there or not a folder.
        const QString effective = temporaryFolder.isEmpty() ? QStringLiteral("/tmp") : temporaryFolder;
        QVERIFY(!QFileInfo::exists(effective + QLatin1Char('/') + name));
        QVERIFY(!QFileInfo::exists(QLatin1Char('/') + name));
        QVERIFY(!QFileInfo::exists(name));
        if (temporaryFolder.endsWith(QStringLiteral("/file")))
            QCOMPARE(readAll(effective), QByteArray("keep me"));
        if (temporaryFolder.endsWith(QStringLiteral("/missing")))
            QVERIFY(!QFileInfo::exists(effective));
    }

    void realLoginItemUntouched()
    {
        // Launch at login is on: the self-test's own file must not replace or remove it.
        const QString loginItem = autostartFolder() + QStringLiteral("/local.library.menubar.desktop");
        const QByteArray content = "[Desktop Entry]\nType=Application\nName=mine\nExec=/opt/elsewhere\n";
        QVERIFY(writeFile(loginItem, content));
        const QString root = writeProject();
        const ChildRun run = m_bench->runHere(root);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.lines(), selfTestLines(root, reused77Line, menuSkipLine, autosyncSkipLine, agentOkLine(run.pid), false));
        QCOMPARE(entriesOf(autostartFolder()), QStringList { QStringLiteral("local.library.menubar.desktop") });
        QCOMPARE(readAll(loginItem), content);
        QVERIFY(QFile::remove(loginItem));
        QVERIFY(QDir().rmdir(autostartFolder()));
    }

    void reusedServerVersions_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("versionReply");
        QTest::addColumn<QString>("line");
        QTest::newRow("newer on disk is not restarted")
            << QByteArray("APP_VERSION = \"8\"\n") << QByteArray(R"({"version": "7"})")
            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 8）");
        QTest::newRow("no version on disk") << QByteArray("print('hello')\n") << QByteArray(R"({"version": "7"})")
                                            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 未知）");
        QTest::newRow("running version a number")
            << QByteArray("APP_VERSION = \"7\"\n") << QByteArray(R"({"version": 7})")
            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 未知，磁盘 7）");
    }
    void reusedServerVersions()
    {
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, versionReply);
        QFETCH(QString, line);
        m_bench->server().route("GET", "/api/version", FakeHttpServer::json(200, versionReply));
        const QString root = writeProject(script);
        const ChildRun run = m_bench->runHere(root);
        verifyQuiet(run);
        QCOMPARE(run.lines(), selfTestLines(root, line, menuSkipLine, autosyncSkipLine, agentOkLine(run.pid), false));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(entriesOf(m_bench->tmp()), QStringList());
    }

    void endpoints_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("line");
        const auto menu = [](const char *rest) { return QStringLiteral("菜单状态 /api/menu-status") + rest; };
        const auto autosync = [](const char *rest) { return QStringLiteral("自动同步 /api/autosync") + rest; };
        const auto json = [](int status, const QByteArray &body) { return FakeHttpServer::json(status, body); };
        const QByteArray m = "/api/menu-status";
        const QByteArray a = "/api/autosync";
        // Only a JSON object with 200 passes; 404 means the server predates the endpoint.
        QTest::newRow("menu: counts") << m << json(200, R"({"unread": 3, "jobs": [{}], "queue": []})")
                                      << "OK: " + menu("：未读 3 条，运行中 1 个，排队 0 个");
        QTest::newRow("menu: empty object") << m << json(200, "{}") << "OK: " + menu("：未读 -1 条，运行中 0 个，排队 0 个");
        QTest::newRow("menu: body not JSON") << m << text(200, "<html>busy</html>") << "FAIL: " + menu("：HTTP 200");
        QTest::newRow("menu: server error with object") << m << json(500, R"({"error": "db"})")
                                                        << "FAIL: " + menu("：HTTP 500");
        QTest::newRow("menu: not offered yet") << m << json(404, "{}") << menuSkipLine;
        QTest::newRow("menu: connection dropped") << m << dropped() << "FAIL: " + menu("：连不上服务");
        QTest::newRow("autosync: off, next ignored") << a << json(200, R"({"hours": 0, "next": 100})")
                                                     << "OK: " + autosync("：关闭");
        QTest::newRow("autosync: every 6 hours with next") << a << json(200, R"({"hours": 6, "next": )" + farNext + "}")
                                                           << "OK: " + autosync("：每 6 小时，下次 1月1日 00:00");
        QTest::newRow("autosync: daily with next") << a << json(200, R"({"hours": 24, "next": )" + farNext + ".9}")
                                                   << "OK: " + autosync("：每天，下次 1月1日 00:00");
        QTest::newRow("autosync: daily without next") << a << json(200, R"({"hours": 24})") << "OK: " + autosync("：每天");
        QTest::newRow("autosync: server error") << a << json(503, "{}") << "FAIL: " + autosync("：HTTP 503");
    }
    void endpoints()
    {
        QFETCH(QByteArray, path);
        QFETCH(Reply, reply);
        QFETCH(QString, line);
        m_bench->server().route("GET", path, reply);
        const QString root = writeProject();
        const ChildRun run = m_bench->runHere(root);
        QCOMPARE(run.err, QByteArray());
        const bool failed = line.startsWith(QStringLiteral("FAIL: "));
        const bool menu = path == "/api/menu-status";
        QCOMPARE(run.lines(), selfTestLines(root, reused77Line, menu ? line : menuSkipLine, menu ? autosyncSkipLine : line,
            agentOkLine(run.pid), failed));
        QCOMPARE(run.exitCode, failed ? 1 : 0);
        QCOMPARE(m_bench->server().requestsFor("GET", path).size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestSelfTest)
#include "tst_selftest.moc"
