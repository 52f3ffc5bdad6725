// quenlo-menubar --selftest. The binary runs as a child where the command line, the working
// folder, the binary's own folder or the environment matter: where the project root comes
// from, the port, the temporary folder, a demo library it starts and leaves running. The
// checks of a found root run in this process, against an in-process stand-in for the server
// or with a short start wait: the version line, the status endpoints, servers that fail.

#include "fakehttpserver.h"
#include "model/identity.h"
#include "platform/platformtable.h"
#include "processinfo.h"
#include "scripttools.h"
#include "selftest/selftest.h"
#include "selftestrun.h"
#include "service/projectroot.h"
#include "testenv.h"

#include <QtTest>

#include <ctime>
#include <memory>
#include <utility>

#include <pwd.h>

Q_DECLARE_METATYPE(quenlo::test::FakeHttpServer::Reply)

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

namespace {

using Reply = FakeHttpServer::Reply;

const QString passed = QStringLiteral("自检全部通过");
const QString notPassed = QStringLiteral("自检未通过");
const QString reused77 = QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 7）");
const QString menuSkip = QStringLiteral("SKIP: 菜单状态 /api/menu-status（端点尚未上线）");
const QString autosyncSkip = QStringLiteral("SKIP: 自动同步 /api/autosync（端点尚未上线）");
const QString menuUnreachable = QStringLiteral("FAIL: 菜单状态 /api/menu-status：连不上服务");
const QString autosyncUnreachable = QStringLiteral("FAIL: 自动同步 /api/autosync：连不上服务");
const QString demoMenu = QStringLiteral("OK: 菜单状态 /api/menu-status：未读 3 条，运行中 0 个，排队 0 个");

QString agentOk(qint64 pid)
{
    return QStringLiteral("OK: 开机自启配置：写入、回读、删除都正常（menubar-selftest-%1%2）")
        .arg(pid)
        .arg(currentPlatform().launchAgentExtension);
}

/// The whole output of a run on \a root, given the lines of steps 2 to 4.
QStringList output(const QString &root, const QString &service, const QString &menu, const QString &autosync,
    qint64 pid, bool failed)
{
    return { QStringLiteral("OK: 定位项目目录：") + root, service, menu, autosync, agentOk(pid), failed ? notPassed : passed };
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

QString writeProject(const QByteArray &script = "APP_VERSION = \"7\"\n", const QString &folder = makeFolder("project"))
{
    writeFile(folder + QStringLiteral("/server.py"), script);
    return folder;
}

/// The login-item folder the menu would write to; no self-test may put anything there.
QString autostartFolder()
{
    return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/autostart");
}

/// What every run must hold to: it ended by itself, wrote nothing to stderr, and left the
/// real login item alone.
void verifyQuiet(const ChildRun &run)
{
    QVERIFY2(run.finished, run.out.constData());
    QCOMPARE(run.err, QByteArray());
    QCOMPARE(entriesOf(autostartFolder()), QStringList());
}

void remember(const QString &root)
{
    QSettings settings = companionSettings();
    settings.setValue(projectPathKey, root);
}

Reply dropped()
{
    Reply reply;
    reply.dropSilently = true;
    return reply;
}

} // namespace

class TestSelfTest final : public QObject {
    Q_OBJECT

    // A stand-in server whose version is "7", and a temporary folder for the runs.
    std::unique_ptr<FakeHttpServer> m_server;
    QString m_tmp;
    quint16 m_port = 0; // for a real server; cleanup ends what listens there
    bool m_real = false;

    /// \a binary as a child with the stand-in's port, TZ=UTC and the run's TMPDIR, changed
    /// further by \a environment.
    ChildRun child(const QStringList &arguments, const QStringList &environment = {}, const QString &folder = {},
        const QString &binary = menubarBinary(), quint16 port = 0)
    {
        const QStringList base { QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(port ? port : m_server->port()),
            QStringLiteral("TZ=UTC"), QStringLiteral("TMPDIR=") + m_tmp };
        return runChild(binary, arguments, base + environment, folder);
    }
    /// runSelfTest() on \a root in this process, TMPDIR set only around it so that the files
    /// catching its output lie elsewhere.
    ChildRun here(const QString &root, quint16 port = 0, SupervisorTimes times = {})
    {
        Settings settings;
        settings.service.port = port ? port : m_server->port();
        settings.supervisor = times;
        return runHere([&] {
            const QByteArray oldTmp = qgetenv("TMPDIR");
            qputenv("TMPDIR", m_tmp.toLocal8Bit());
            const int status = runSelfTest(root, settings);
            qputenv("TMPDIR", oldTmp);
            return status;
        });
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "UTC");
        tzset();
    }
    void init()
    {
        m_server = std::make_unique<FakeHttpServer>();
        m_server->route("GET", "/api/version", FakeHttpServer::json(200, R"({"version": "7"})"));
        m_tmp = makeFolder(QStringLiteral("tmp"));
        m_port = freePort();
        companionSettings().remove(projectPathKey);
    }
    void cleanup()
    {
        m_server.reset();
        if (std::exchange(m_real, false))
            endListeners(m_port, 0);
        qunsetenv("DEMO_PREFERENCES_STATUS");
    }

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
        const ChildRun run = child({ QStringLiteral("--selftest") });
        verifyQuiet(run);
        QCOMPARE(run.lines(), QStringList { "FAIL: 定位项目目录：App 旁边没有 server.py，也没有记住过的位置" });
        QCOMPARE(run.exitCode, 1);
        // Nothing after the root ran: no request, no agent file; a stale value stays.
        QCOMPARE(m_server->requests().size(), 0);
        QCOMPARE(entriesOf(m_tmp), QStringList());
        QCOMPARE(companionSettings().value(projectPathKey).toString(), remembered);
    }

    void rootArgumentWithoutServerScript_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("shown");
        const QString home = QDir::homePath();
        const QString here = scratchDir() + QStringLiteral("/cwd");
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
        QVERIFY(QDir().mkpath(scratchDir() + QStringLiteral("/cwd")));
        const ChildRun run = child({ QStringLiteral("--selftest"), argument }, {}, scratchDir() + QStringLiteral("/cwd"));
        verifyQuiet(run);
        QCOMPARE(run.lines(), QStringList { "FAIL: 定位项目目录：" + shown + " 里没有 server.py" });
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(m_server->requests().size(), 0);
    }

    void projectFound_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("remembered");
        QTest::addColumn<bool>("besideBinary");
        const QString plain = writeProject();
        QTest::newRow("argument among other options")
            << plain << QStringList { "-v", "--selftest", plain, "--selftest" } << false << false;
        const QString home = writeProject("APP_VERSION = \"7\"\n", QDir::homePath() + QStringLiteral("/projects/quenlo"));
        QTest::newRow("argument with tilde") << home << QStringList { "--selftest", "~/projects/./quenlo/" } << false << false;
        QTest::newRow("remembered") << writeProject() << QStringList { "--selftest" } << true << false;
        QTest::newRow("beside the application") << writeProject() << QStringList { "--selftest" } << false << true;
    }
    void projectFound()
    {
        QFETCH(QString, root);
        QFETCH(QStringList, arguments);
        QFETCH(bool, remembered);
        QFETCH(bool, besideBinary);
        if (remembered)
            remember(root);
        const QString binary = besideBinary ? root + QStringLiteral("/quenlo-menubar") : menubarBinary();
        if (besideBinary)
            QVERIFY(QFile::copy(menubarBinary(), binary));
        // The stand-in is found through LOCAL_LIBRARY_PORT, and only read from.
        const ChildRun run = child(arguments, {}, {}, binary);
        verifyQuiet(run);
        QCOMPARE(run.lines(), output(root, reused77, menuSkip, autosyncSkip, run.pid, false));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!m_server->requestsFor("GET", "/api/version").isEmpty());
        for (const FakeHttpServer::Request &request : m_server->requests())
            QCOMPARE(request.method, QByteArray("GET"));
        QCOMPARE(entriesOf(m_tmp), QStringList());
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
        const ChildRun run = child({ "--selftest", root }, { temporaryFolder.isEmpty() ? "TMPDIR" : "TMPDIR=" + temporaryFolder });
        verifyQuiet(run);
        const QStringList lines = run.lines();
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.mid(0, 4), output(root, reused77, menuSkip, autosyncSkip, 0, false).mid(0, 4));
        if (failure.isEmpty()) {
            QCOMPARE(lines.mid(4), (QStringList { agentOk(run.pid), passed }));
        } else {
            const QString prefix = QStringLiteral("FAIL: 开机自启配置：");
            QVERIFY2(lines.at(4).startsWith(prefix) && lines.at(4).size() > prefix.size(), qPrintable(lines.at(4)));
            if (failure != QStringLiteral("*"))
                QCOMPARE(lines.at(4), prefix + failure);
            QCOMPARE(lines.at(5), notPassed);
        }
        QCOMPARE(run.exitCode, failure.isEmpty() ? 0 : 1);
        // No agent file is left anywhere it could have gone, and nothing took the place of a
        // temporary folder that is not there or not a folder.
        const QString name = QStringLiteral("menubar-selftest-%1%2").arg(run.pid).arg(currentPlatform().launchAgentExtension);
        const QString effective = temporaryFolder.isEmpty() ? QStringLiteral("/tmp") : temporaryFolder;
        QVERIFY(!QFileInfo::exists(effective + '/' + name) && !QFileInfo::exists('/' + name) && !QFileInfo::exists(name));
        if (failure == QStringLiteral("*"))
            QCOMPARE(readAll(effective), QByteArray("keep me"));
        else if (!failure.isEmpty())
            QVERIFY(!QFileInfo::exists(effective));
    }

    void realLoginItemUntouched()
    {
        // Launch at login is on: the self-test's own file must not replace or remove it.
        const QString loginItem = autostartFolder() + QStringLiteral("/local.library.menubar.desktop");
        const QByteArray content = "[Desktop Entry]\nType=Application\nName=mine\nExec=/opt/elsewhere\n";
        QVERIFY(writeFile(loginItem, content));
        const QString root = writeProject();
        const ChildRun run = here(root);
        QCOMPARE(run.lines(), output(root, reused77, menuSkip, autosyncSkip, run.pid, false));
        QCOMPARE(entriesOf(autostartFolder()), QStringList { QStringLiteral("local.library.menubar.desktop") });
        QCOMPARE(readAll(loginItem), content);
        QVERIFY(QFile::remove(loginItem) && QDir().rmdir(autostartFolder()));
    }

    void reusedServerVersions_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("versionReply");
        QTest::addColumn<QString>("line");
        QTest::newRow("newer on disk is not restarted") << QByteArray("APP_VERSION = \"8\"\n")
            << QByteArray(R"({"version": "7"})") << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 8）");
        QTest::newRow("no version on disk") << QByteArray("print('hello')\n") << QByteArray(R"({"version": "7"})")
                                            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 未知）");
        QTest::newRow("running version a number") << QByteArray("APP_VERSION = \"7\"\n")
            << QByteArray(R"({"version": 7})") << QStringLiteral("OK: 服务已在运行，直接复用（运行中 未知，磁盘 7）");
    }
    void reusedServerVersions()
    {
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, versionReply);
        QFETCH(QString, line);
        m_server->route("GET", "/api/version", FakeHttpServer::json(200, versionReply));
        const QString root = writeProject(script);
        const ChildRun run = here(root);
        verifyQuiet(run);
        QCOMPARE(run.lines(), output(root, line, menuSkip, autosyncSkip, run.pid, false));
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(entriesOf(m_tmp), QStringList());
    }

    void endpoints_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("line");
        const auto json = [](int status, const QByteArray &body) { return FakeHttpServer::json(status, body); };
        const QString menu = QStringLiteral("菜单状态 /api/menu-status");
        const QString autosync = QStringLiteral("自动同步 /api/autosync");
        const QByteArray m = "/api/menu-status";
        const QByteArray a = "/api/autosync";
        const QByteArray next = R"(, "next": 4102444800)"; // 2100-01-01 00:00 UTC: never today or tomorrow
        Reply html = json(200, "<html>busy</html>");
        html.contentType = "text/html";
        // Only a JSON object with 200 passes; 404 means the server predates the endpoint.
        QTest::newRow("menu: counts") << m << json(200, R"({"unread": 3, "jobs": [{}], "queue": []})")
                                      << "OK: " + menu + "：未读 3 条，运行中 1 个，排队 0 个";
        QTest::newRow("menu: empty object") << m << json(200, "{}") << "OK: " + menu + "：未读 -1 条，运行中 0 个，排队 0 个";
        QTest::newRow("menu: body not JSON") << m << html << "FAIL: " + menu + "：HTTP 200";
        QTest::newRow("menu: server error with object") << m << json(500, R"({"error": "db"})") << "FAIL: " + menu + "：HTTP 500";
        QTest::newRow("menu: not offered yet") << m << json(404, "{}") << menuSkip;
        QTest::newRow("menu: connection dropped") << m << dropped() << menuUnreachable;
        QTest::newRow("autosync: off, next ignored") << a << json(200, "{\"hours\": 0" + next + "}") << "OK: " + autosync + "：关闭";
        QTest::newRow("autosync: every 6 hours with next")
            << a << json(200, "{\"hours\": 6" + next + "}") << "OK: " + autosync + "：每 6 小时，下次 1月1日 00:00";
        QTest::newRow("autosync: daily with next") << a << json(200, "{\"hours\": 24" + next + "}")
                                                   << "OK: " + autosync + "：每天，下次 1月1日 00:00";
        QTest::newRow("autosync: daily without next") << a << json(200, R"({"hours": 24})") << "OK: " + autosync + "：每天";
        QTest::newRow("autosync: server error") << a << json(503, "{}") << "FAIL: " + autosync + "：HTTP 503";
    }
    void endpoints()
    {
        QFETCH(QByteArray, path);
        QFETCH(Reply, reply);
        QFETCH(QString, line);
        m_server->route("GET", path, reply);
        const QString root = writeProject();
        const ChildRun run = here(root);
        QCOMPARE(run.err, QByteArray());
        const bool failed = line.startsWith(QStringLiteral("FAIL: "));
        const bool menu = path == "/api/menu-status";
        QCOMPARE(run.lines(), output(root, reused77, menu ? line : menuSkip, menu ? autosyncSkip : line, run.pid, failed));
        QCOMPARE(run.exitCode, failed ? 1 : 0);
        QCOMPARE(m_server->requestsFor("GET", path).size(), 1);
    }

    void demoLibraryStartedAndLeftRunning()
    {
        const QString root = copyDemoLibrary();
        const quint16 port = m_port;
        m_real = true;
        // A saved schedule, so the autosync line also shows the next time.
        QVERIFY(writeFile(root + QStringLiteral("/autosync.json"), R"({"hours": 6, "next": 4102444800})"));
        const QString autosync = QStringLiteral("OK: 自动同步 /api/autosync：每 6 小时，下次 1月1日 00:00");
        const ChildRun first = child({ QStringLiteral("--selftest"), root }, {}, {}, menubarBinary(), port);
        verifyQuiet(first);
        QCOMPARE(first.lines(),
            output(root, QStringLiteral("OK: 服务已拉起（磁盘版本 3，端口 %1）").arg(port), demoMenu, autosync, first.pid, false));
        QCOMPARE(first.exitCode, 0);
        // The server outlives the self-test that started it, and a second run reuses it.
        const QList<pid_t> servers = listeningPids(port);
        QCOMPARE(servers.size(), 1);
        QVERIFY(commandLine(servers.first()).contains(root + QStringLiteral("/server.py")));
        const ChildRun second = child({ QStringLiteral("--selftest"), root }, {}, {}, menubarBinary(), port);
        verifyQuiet(second);
        QCOMPARE(second.lines(), output(root, QStringLiteral("OK: 服务已在运行，直接复用（运行中 3，磁盘 3）"), demoMenu,
                                     autosync, second.pid, false));
        QCOMPARE(listeningPids(port), servers);
        QCOMPARE(entriesOf(m_tmp), QStringList());
    }

    void serverFails_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("reason"); // the FAIL line's reason, or how it starts for the wait
        QTest::addColumn<bool>("listening"); // a server is left running
        QTest::addColumn<int>("startWaitMs"); // short where it runs out, roomy where the demo must come
        // The server answers, but its database probe fails: the endpoint checks still run.
        QTest::newRow("data unreadable") << copyDemoLibrary(QStringLiteral("unreadable"))
                                         << QStringLiteral("服务已启动但读不到Quenlo数据") << true << 5000;
        // server.py without the interpreter beside it: nohup runs, the server never comes.
        QTest::newRow("no runtime-python") << writeProject("APP_VERSION = \"3\"\n") << QStringLiteral("服务没有在") << false << 800;
        // The log cannot be opened for appending, so nothing is started.
        const QString noLog = copyDemoLibrary(QStringLiteral("no-log"));
        QDir().mkpath(noLog + QStringLiteral("/server.log"));
        QTest::newRow("server.log is a folder") << noLog << QStringLiteral("无法写入 server.log") << false << 800;
    }
    void serverFails()
    {
        QFETCH(QString, root);
        QFETCH(QString, reason);
        QFETCH(bool, listening);
        QFETCH(int, startWaitMs);
        qputenv("DEMO_PREFERENCES_STATUS", "500");
        const quint16 port = m_port;
        m_real = true;
        const ChildRun run = here(root, port, { 400ms, Milliseconds(startWaitMs), 50ms });
        verifyQuiet(run);
        QStringList lines = run.lines();
        const QString failLine = QStringLiteral("FAIL: 确保服务可用：") + reason;
        // The wait's length in the text is not this test's concern.
        if (reason == QStringLiteral("服务没有在") && lines.value(1).startsWith(failLine))
            lines[1] = failLine;
        QCOMPARE(lines, output(root, failLine, listening ? demoMenu : menuUnreachable,
                            listening ? QStringLiteral("OK: 自动同步 /api/autosync：关闭") : autosyncUnreachable, run.pid, true));
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(listeningPids(port).size(), listening ? 1 : 0);
        QCOMPARE(entriesOf(m_tmp), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSelfTest)
#include "tst_selftest.moc"
