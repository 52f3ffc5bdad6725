// quenlo-menubar --selftest as a child process against an in-process HTTP server that
// stands in for a running library server: where the project root comes from, the version
// line of a reused server, every reply of the two status endpoints, and the agent-file check
// with good and bad temporary folders. The child gets this suite's private HOME and XDG
// folders, a temporary folder of its own and the fake server's port.

#include "app/processvalues.h"
#include "fakehttpserver.h"
#include "selftestrun.h"
#include "service/projectroot.h"
#include "testenv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <cerrno>
#include <memory>

Q_DECLARE_METATYPE(quenlo::test::FakeHttpServer::Reply)

using namespace quenlo;
using namespace quenlo::test;

namespace {

using Reply = FakeHttpServer::Reply;

#ifdef Q_OS_MACOS
const QString agentExtension = QStringLiteral(".plist");
#else
const QString agentExtension = QStringLiteral(".desktop");
#endif

const QString noRootLine = QStringLiteral("FAIL: 定位项目目录：App 旁边没有 server.py，也没有记住过的位置");
const QString reused77 = QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 7）");
const QString menuSkip = QStringLiteral("SKIP: 菜单状态 /api/menu-status（端点尚未上线）");
const QString autosyncSkip = QStringLiteral("SKIP: 自动同步 /api/autosync（端点尚未上线）");
const QString passed = QStringLiteral("自检全部通过");
const QString notPassed = QStringLiteral("自检未通过");
// 2100-01-01 00:00 UTC; the children run with TZ=UTC.
const QByteArray farNext = "4102444800";

QString agentOk(qint64 pid)
{
    return QStringLiteral("OK: 开机自启配置：写入、回读、删除都正常（menubar-selftest-%1%2）").arg(pid).arg(agentExtension);
}

/// A folder with a server.py holding \a script.
QString project(const QByteArray &script = "APP_VERSION = \"7\"\n", const QString &folder = makeFolder("project"))
{
    writeFile(folder + QStringLiteral("/server.py"), script);
    return folder;
}

Reply text(int status, const QByteArray &body)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    reply.contentType = "text/html";
    return reply;
}

Reply dropped()
{
    Reply reply;
    reply.dropSilently = true;
    return reply;
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestSelfTest final : public QObject {
    Q_OBJECT

    std::unique_ptr<FakeHttpServer> m_server;
    QString m_tmp; ///< the child's temporary folder

    QString autostartFolder() const { return qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/autostart"); }

    ChildRun selfTest(const QStringList &arguments, const QStringList &environment = {},
                      const QString &workingFolder = {}, const QString &binary = menubarBinary())
    {
        return runChild(binary, arguments,
                        QStringList{QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(m_server->port()), "TZ=UTC",
                                    "TMPDIR=" + m_tmp}
                            + environment,
                        workingFolder);
    }

    /// What every run must hold to: it ended, wrote nothing to stderr, and left the real
    /// login item alone.
    void verifyQuiet(const ChildRun &run)
    {
        QVERIFY2(run.finished, run.out.constData());
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(entriesOf(autostartFolder()), QStringList());
    }

    /// The full output of a run on \a root whose server is reused, with the given status lines.
    static QStringList expected(const QString &root, const QString &service, const QString &menu,
                                const QString &autosync, const QString &agent, bool failed)
    {
        return {QStringLiteral("OK: 定位项目目录：") + root, service, menu, autosync, agent, failed ? notPassed : passed};
    }

private Q_SLOTS:
    void init()
    {
        m_server = std::make_unique<FakeHttpServer>();
        m_server->route("GET", "/api/version", FakeHttpServer::json(200, R"({"version": "7"})"));
        m_tmp = makeFolder(QStringLiteral("tmp"));
        QSettings settings = companionSettings();
        settings.remove(projectPathKey);
        settings.sync();
    }

    void cleanup() { m_server.reset(); }

    void noProjectRoot_data()
    {
        QTest::addColumn<QString>("remembered");
        QTest::newRow("nothing remembered") << QString();
        QTest::newRow("remembered folder lost its server.py") << makeFolder(QStringLiteral("emptied"));
        QTest::newRow("remembered folder gone") << scratchDir() + QStringLiteral("/never-made");
    }

    void noProjectRoot()
    {
        QFETCH(QString, remembered);
        // The binary's own folder is the first place looked at.
        QVERIFY(!QFileInfo::exists(QFileInfo(menubarBinary()).absolutePath() + QStringLiteral("/server.py")));
        if (!remembered.isEmpty()) {
            QSettings settings = companionSettings();
            settings.setValue(projectPathKey, remembered);
            settings.sync();
        }

        const ChildRun run = selfTest({QStringLiteral("--selftest")});
        verifyQuiet(run);
        QCOMPARE(run.lines(), QStringList{noRootLine});
        QCOMPARE(run.exitCode, 1);
        // Nothing after the root ran: no request, no agent file.
        QCOMPARE(m_server->requests().size(), 0);
        QCOMPARE(entriesOf(m_tmp), QStringList());
        // A stale remembered value stays as it was.
        if (!remembered.isEmpty())
            QCOMPARE(companionSettings().value(projectPathKey).toString(), remembered);
    }

    void rootArgumentWithoutServerScript_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("workingFolder");
        QTest::addColumn<QString>("shown");

        const QString home = QDir::homePath();
        const QString here = makeFolder(QStringLiteral("cwd"));
        const auto row = [&here](const char *name, const char *argument, const QString &shown) {
            QTest::newRow(name) << QString::fromUtf8(argument) << here << shown;
        };
        row("tilde with dot-dot", "~/library/../elsewhere/./", home + "/elsewhere");
        row("tilde alone", "~", home);
        row("another user's home", "~root/x/..", QStringLiteral("/root"));
        row("unknown user stays as typed", "~no-such-user-q/a", here + "/~no-such-user-q/a");
        row("relative to the working folder", "a/./b/../c", here + "/a/c");
        row("empty is the working folder", "", here);
        row("dot-dot above the root", "/../..", QStringLiteral("/"));
        row("looks like an option", "--selftest-port", here + "/--selftest-port");

        const QString dangling = makeFolder(QStringLiteral("dangling"));
        QFile::link(dangling + QStringLiteral("/nowhere.py"), dangling + QStringLiteral("/server.py"));
        QTest::newRow("server.py links to nothing") << dangling << here << dangling;
    }

    void rootArgumentWithoutServerScript()
    {
        QFETCH(QString, argument);
        QFETCH(QString, workingFolder);
        QFETCH(QString, shown);

        const ChildRun run = selfTest({QStringLiteral("--selftest"), argument}, {}, workingFolder);
        verifyQuiet(run);
        QCOMPARE(run.lines(), QStringList{QStringLiteral("FAIL: 定位项目目录：") + shown + QStringLiteral(" 里没有 server.py")});
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(m_server->requests().size(), 0);
    }

    void projectFound_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("remember");
        QTest::addColumn<bool>("besideBinary");
        QTest::addColumn<QString>("disk");

        const QString seven = QStringLiteral("7");
        const QString plain = project();
        QTest::newRow("argument") << plain << QStringList{"--selftest", plain} << QString() << false << seven;
        QTest::newRow("argument among other options")
            << plain << QStringList{"-v", "--selftest", plain, "--selftest"} << QString() << false << seven;
        const QString home = project("APP_VERSION = \"7\"\n", QDir::homePath() + QStringLiteral("/projects/quenlo"));
        QTest::newRow("argument with tilde") << home << QStringList{"--selftest", "~/projects/./quenlo/"} << QString()
                                             << false << seven;
        const QString folderScript = makeFolder(QStringLiteral("folder-script"));
        QDir().mkpath(folderScript + QStringLiteral("/server.py"));
        QTest::newRow("server.py is a folder") << folderScript << QStringList{"--selftest", folderScript} << QString()
                                               << false << QStringLiteral("未知");
        const QString remembered = project();
        QTest::newRow("remembered") << remembered << QStringList{"--selftest"} << remembered << false << seven;
        const QString beside = project();
        QTest::newRow("beside the application") << beside << QStringList{"--selftest"} << QString() << true << seven;
    }

    void projectFound()
    {
        QFETCH(QString, root);
        QFETCH(QStringList, arguments);
        QFETCH(QString, remember);
        QFETCH(bool, besideBinary);
        QFETCH(QString, disk);

        if (!remember.isEmpty()) {
            QSettings settings = companionSettings();
            settings.setValue(projectPathKey, remember);
            settings.sync();
        }
        QString binary = menubarBinary();
        if (besideBinary) {
            binary = root + QStringLiteral("/quenlo-menubar");
            QVERIFY(QFile::copy(menubarBinary(), binary));
        }

        const ChildRun run = selfTest(arguments, {}, {}, binary);
        verifyQuiet(run);
        QCOMPARE(run.lines(), expected(root, "OK: 服务已在运行，直接复用（运行中 7，磁盘 " + disk + "）", menuSkip,
                                       autosyncSkip, agentOk(run.pid), false));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!m_server->requestsFor("GET", "/api/version").isEmpty());
        for (const FakeHttpServer::Request &request : m_server->requests())
            QCOMPARE(request.method, QByteArray("GET"));
        // The temporary agent file is gone again.
        QCOMPARE(entriesOf(m_tmp), QStringList());
        // A project found beside the application is remembered, as the menu remembers it.
        if (besideBinary)
            QCOMPARE(companionSettings().value(projectPathKey).toString(), root);
    }

    void reusedServerVersions_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("versionReply");
        QTest::addColumn<QString>("line");

        QTest::newRow("same versions") << QByteArray("APP_VERSION = \"7\"\n") << QByteArray(R"({"version": "7"})")
                                       << reused77;
        QTest::newRow("newer on disk is not restarted")
            << QByteArray("APP_VERSION = \"8\"\n") << QByteArray(R"({"version": "7"})")
            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 8）");
        QTest::newRow("no version on disk") << QByteArray("print('hello')\n") << QByteArray(R"({"version": "7"})")
                                            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 未知）");
        QTest::newRow("script not UTF-8") << QByteArray("APP_VERSION = \"7\"\n# \xff\xfe\n")
                                          << QByteArray(R"({"version": "7"})")
                                          << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 未知）");
        QTest::newRow("running version missing") << QByteArray("APP_VERSION = \"7\"\n") << QByteArray(R"({"ok": true})")
                                                 << QStringLiteral("OK: 服务已在运行，直接复用（运行中 未知，磁盘 7）");
        QTest::newRow("running version a number") << QByteArray("APP_VERSION = \"7\"\n") << QByteArray(R"({"version": 7})")
                                                  << QStringLiteral("OK: 服务已在运行，直接复用（运行中 未知，磁盘 7）");
    }

    void reusedServerVersions()
    {
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, versionReply);
        QFETCH(QString, line);

        m_server->route("GET", "/api/version", FakeHttpServer::json(200, versionReply));
        const QString root = project(script);
        const ChildRun run = selfTest({QStringLiteral("--selftest"), root});
        verifyQuiet(run);
        QCOMPARE(run.lines(), expected(root, line, menuSkip, autosyncSkip, agentOk(run.pid), false));
        QCOMPARE(run.exitCode, 0);
    }

    void menuStatus_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("line");

        const auto ok = [](const char *counts) { return QStringLiteral("OK: 菜单状态 /api/menu-status：") + counts; };
        const auto fail = [](const char *why) { return QStringLiteral("FAIL: 菜单状态 /api/menu-status：") + why; };
        using F = FakeHttpServer;
        QTest::newRow("counts") << F::json(200, R"({"unread": 3, "jobs": [{}], "queue": []})")
                                << ok("未读 3 条，运行中 1 个，排队 0 个");
        QTest::newRow("empty object") << F::json(200, "{}") << ok("未读 -1 条，运行中 0 个，排队 0 个");
        QTest::newRow("fraction cut off") << F::json(200, R"({"unread": 2.9, "jobs": [{}, {}], "queue": [{}, {}, {}]})")
                                          << ok("未读 2 条，运行中 2 个，排队 3 个");
        QTest::newRow("negative fraction toward zero") << F::json(200, R"({"unread": -2.5})")
                                                       << ok("未读 -2 条，运行中 0 个，排队 0 个");
        QTest::newRow("wrong types") << F::json(200, R"({"unread": "5", "jobs": {}, "queue": "x"})")
                                     << ok("未读 -1 条，运行中 0 个，排队 0 个");
        QTest::newRow("arrays not all objects") << F::json(200, R"({"unread": 0, "jobs": [{}, 1], "queue": [null]})")
                                                << ok("未读 0 条，运行中 0 个，排队 0 个");
        QTest::newRow("body not JSON") << text(200, "<html>busy</html>") << fail("HTTP 200");
        QTest::newRow("JSON array") << F::json(200, "[{}]") << fail("HTTP 200");
        QTest::newRow("empty body") << F::json(200, "") << fail("HTTP 200");
        QTest::newRow("server error with object") << F::json(500, R"({"error": "db"})") << fail("HTTP 500");
        QTest::newRow("no content") << F::json(204, "") << fail("HTTP 204");
        QTest::newRow("redirect not followed") << F::json(302, "{}") << fail("HTTP 302");
        QTest::newRow("not offered yet") << F::json(404, "{}") << menuSkip;
        QTest::newRow("connection dropped") << dropped() << fail("连不上服务");
    }

    void menuStatus()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, line);

        m_server->route("GET", "/api/menu-status", reply);
        const QString root = project();
        const ChildRun run = selfTest({QStringLiteral("--selftest"), root});
        verifyQuiet(run);
        const bool failed = line.startsWith(QStringLiteral("FAIL: "));
        QCOMPARE(run.lines(), expected(root, reused77, line, autosyncSkip, agentOk(run.pid), failed));
        QCOMPARE(run.exitCode, failed ? 1 : 0);
        QCOMPARE(m_server->requestsFor("GET", "/api/menu-status").size(), 1);
    }

    void autosync_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("line");

        const auto ok = [](const char *schedule) { return QStringLiteral("OK: 自动同步 /api/autosync：") + schedule; };
        const auto fail = [](const char *why) { return QStringLiteral("FAIL: 自动同步 /api/autosync：") + why; };
        const auto reply = [](const QByteArray &body) { return FakeHttpServer::json(200, body); };
        QTest::newRow("off, next ignored") << reply(R"({"hours": 0, "next": 100})") << ok("关闭");
        QTest::newRow("every 6 hours with next") << reply(R"({"hours": 6, "next": )" + farNext + "}")
                                                 << ok("每 6 小时，下次 1月1日 00:00");
        QTest::newRow("daily with next") << reply(R"({"hours": 24, "next": )" + farNext + ".9}")
                                         << ok("每天，下次 1月1日 00:00");
        QTest::newRow("fractional hours") << reply(R"({"hours": 6.9, "next": )" + farNext + "}")
                                          << ok("每 6 小时，下次 1月1日 00:00");
        QTest::newRow("daily without next") << reply(R"({"hours": 24})") << ok("每天");
        QTest::newRow("next zero") << reply(R"({"hours": 24, "next": 0})") << ok("每天");
        QTest::newRow("next negative") << reply(R"({"hours": 6, "next": -5})") << ok("每 6 小时");
        QTest::newRow("next as text") << reply("{\"hours\": 6, \"next\": \"" + farNext + "\"}") << ok("每 6 小时");
        QTest::newRow("hours as text") << reply(R"({"hours": "6", "next": )" + farNext + "}") << ok("关闭");
        QTest::newRow("negative hours") << reply(R"({"hours": -3, "next": )" + farNext + "}") << ok("每 -3 小时");
        QTest::newRow("empty object") << reply("{}") << ok("关闭");
        QTest::newRow("body not JSON") << text(200, "off") << fail("HTTP 200");
        QTest::newRow("server error") << FakeHttpServer::json(503, "{}") << fail("HTTP 503");
        QTest::newRow("not offered yet") << FakeHttpServer::json(404, "") << autosyncSkip;
        QTest::newRow("connection dropped") << dropped() << fail("连不上服务");
    }

    void autosync()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, line);

        m_server->route("GET", "/api/autosync", reply);
        const QString root = project();
        const ChildRun run = selfTest({QStringLiteral("--selftest"), root});
        verifyQuiet(run);
        const bool failed = line.startsWith(QStringLiteral("FAIL: "));
        QCOMPARE(run.lines(), expected(root, reused77, menuSkip, line, agentOk(run.pid), failed));
        QCOMPARE(run.exitCode, failed ? 1 : 0);
    }

    void agentFile_data()
    {
        QTest::addColumn<QString>("temporaryFolder"); ///< empty: TMPDIR unset
        QTest::addColumn<QString>("failure");         ///< the FAIL line's reason; empty: passes; "*": any

        QTest::newRow("private temporary folder") << QStringLiteral("<own>") << QString();
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

        if (temporaryFolder == QStringLiteral("<own>"))
            temporaryFolder = m_tmp;
        const QByteArray before = QFile::exists(temporaryFolder) && QFileInfo(temporaryFolder).isFile()
            ? readAll(temporaryFolder)
            : QByteArray();
        const QString root = project();
        const ChildRun run = selfTest({QStringLiteral("--selftest"), root},
                                      {temporaryFolder.isEmpty() ? "TMPDIR" : "TMPDIR=" + temporaryFolder});
        verifyQuiet(run);
        const QStringList lines = run.lines();
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines.mid(0, 4), expected(root, reused77, menuSkip, autosyncSkip, {}, false).mid(0, 4));
        const QString name = QStringLiteral("menubar-selftest-%1%2").arg(run.pid).arg(agentExtension);
        if (failure.isEmpty()) {
            QCOMPARE(lines.at(4), agentOk(run.pid));
            QCOMPARE(lines.at(5), passed);
            QCOMPARE(run.exitCode, 0);
        } else {
            const QString prefix = QStringLiteral("FAIL: 开机自启配置：");
            QVERIFY2(lines.at(4).startsWith(prefix), qPrintable(lines.at(4)));
            if (failure == QStringLiteral("*"))
                QVERIFY2(lines.at(4).size() > prefix.size(), qPrintable(lines.at(4)));
            else
                QCOMPARE(lines.at(4), prefix + failure);
            QCOMPARE(lines.at(5), notPassed);
            QCOMPARE(run.exitCode, 1);
        }
        // No agent file is left anywhere it could have gone, and nothing was put in place of
        // a temporary folder that is not there.
        const QString effective = temporaryFolder.isEmpty() ? QStringLiteral("/tmp") : temporaryFolder;
        QVERIFY(!QFileInfo::exists(effective + QLatin1Char('/') + name));
        QVERIFY(!QFileInfo::exists(QLatin1Char('/') + name));
        if (QFileInfo(effective).isDir())
            QVERIFY(!entriesOf(effective).contains(name));
        if (effective == m_tmp)
            QCOMPARE(entriesOf(m_tmp), QStringList());
        if (!before.isEmpty())
            QCOMPARE(readAll(effective), before);
        if (failure.startsWith(QStringLiteral("临时文件夹不存在")))
            QVERIFY(!QFileInfo::exists(effective));
    }

    void realLoginItemUntouched()
    {
        // Launch at login is on: the self-test's own file must not replace or remove it.
        const QString loginItem = autostartFolder() + QStringLiteral("/local.library.menubar.desktop");
        const QByteArray content = "[Desktop Entry]\nType=Application\nName=mine\nExec=/opt/elsewhere\n";
        QVERIFY(writeFile(loginItem, content));
        const QString root = project();
        const ChildRun run = selfTest({QStringLiteral("--selftest"), root});
        QVERIFY(run.finished);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.lines(), expected(root, reused77, menuSkip, autosyncSkip, agentOk(run.pid), false));
        QCOMPARE(entriesOf(autostartFolder()), QStringList{QStringLiteral("local.library.menubar.desktop")});
        QCOMPARE(readAll(loginItem), content);
        QVERIFY(QFile::remove(loginItem));
        QVERIFY(QDir().rmdir(autostartFolder()));
    }

private:
    static QByteArray readAll(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }
};

QTEST_GUILESS_MAIN(TestSelfTest)
#include "tst_selftest.moc"
