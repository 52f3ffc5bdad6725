// quenlo-menubar --selftest as a child process against an in-process stand-in for a running
// library server: where the project root comes from, the version line of a reused server,
// and the agent-file check with good and bad temporary folders. The child gets this suite's
// private HOME and XDG folders, a temporary folder of its own and the stand-in's port.

#include "app/processvalues.h"
#include "selftestbench.h"
#include "service/projectroot.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

#include <memory>

#include <pwd.h>

using namespace quenlo;
using namespace quenlo::test;

namespace {

const QString noRootLine = QStringLiteral("FAIL: 定位项目目录：App 旁边没有 server.py，也没有记住过的位置");

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void remember(const QString &root)
{
    QSettings settings = companionSettings();
    settings.setValue(projectPathKey, root);
    settings.sync();
}

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
        QTest::newRow("remembered folder gone") << scratchDir() + QStringLiteral("/never-made");
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
        // Nothing after the root ran: no request, no agent file.
        QCOMPARE(m_bench->server().requests().size(), 0);
        QCOMPARE(entriesOf(m_bench->tmp()), QStringList());
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
        row("another user's home", "~root/x/..", QDir::cleanPath(QFile::decodeName(::getpwnam("root")->pw_dir)));
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

        const ChildRun run = m_bench->run({ QStringLiteral("--selftest"), argument }, {}, workingFolder);
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
        QTest::addColumn<QString>("disk");

        const QString seven = QStringLiteral("7");
        const QString plain = writeProject();
        QTest::newRow("argument") << plain << QStringList { "--selftest", plain } << QString() << false << seven;
        QTest::newRow("argument among other options")
            << plain << QStringList { "-v", "--selftest", plain, "--selftest" } << QString() << false << seven;
        const QString home
            = writeProject("APP_VERSION = \"7\"\n", QDir::homePath() + QStringLiteral("/projects/quenlo"));
        QTest::newRow("argument with tilde")
            << home << QStringList { "--selftest", "~/projects/./quenlo/" } << QString() << false << seven;
        const QString folderScript = makeFolder(QStringLiteral("folder-script"));
        QDir().mkpath(folderScript + QStringLiteral("/server.py"));
        QTest::newRow("server.py is a folder") << folderScript << QStringList { "--selftest", folderScript }
                                               << QString() << false << QStringLiteral("未知");
        const QString remembered = writeProject();
        QTest::newRow("remembered") << remembered << QStringList { "--selftest" } << remembered << false << seven;
        const QString beside = writeProject();
        QTest::newRow("beside the application") << beside << QStringList { "--selftest" } << QString() << true << seven;
    }

    void projectFound()
    {
        QFETCH(QString, root);
        QFETCH(QStringList, arguments);
        QFETCH(QString, remembered);
        QFETCH(bool, besideBinary);
        QFETCH(QString, disk);

        if (!remembered.isEmpty())
            remember(remembered);
        QString binary = menubarBinary();
        if (besideBinary) {
            binary = root + QStringLiteral("/quenlo-menubar");
            QVERIFY(QFile::copy(menubarBinary(), binary));
        }

        const ChildRun run = m_bench->run(arguments, {}, {}, binary);
        verifyQuiet(run);
        QCOMPARE(run.lines(),
            selfTestLines(root, "OK: 服务已在运行，直接复用（运行中 7，磁盘 " + disk + "）", menuSkipLine,
                autosyncSkipLine, agentOkLine(run.pid), false));
        QCOMPARE(run.exitCode, 0);
        QVERIFY(!m_bench->server().requestsFor("GET", "/api/version").isEmpty());
        for (const FakeHttpServer::Request &request : m_bench->server().requests())
            QCOMPARE(request.method, QByteArray("GET"));
        // The temporary agent file is gone again.
        QCOMPARE(entriesOf(m_bench->tmp()), QStringList());
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
                                       << reused77Line;
        QTest::newRow("newer on disk is not restarted")
            << QByteArray("APP_VERSION = \"8\"\n") << QByteArray(R"({"version": "7"})")
            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 8）");
        QTest::newRow("no version on disk") << QByteArray("print('hello')\n") << QByteArray(R"({"version": "7"})")
                                            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 未知）");
        QTest::newRow("script not UTF-8")
            << QByteArray("APP_VERSION = \"7\"\n# \xff\xfe\n") << QByteArray(R"({"version": "7"})")
            << QStringLiteral("OK: 服务已在运行，直接复用（运行中 7，磁盘 未知）");
        QTest::newRow("running version missing") << QByteArray("APP_VERSION = \"7\"\n") << QByteArray(R"({"ok": true})")
                                                 << QStringLiteral("OK: 服务已在运行，直接复用（运行中 未知，磁盘 7）");
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
        const ChildRun run = m_bench->run({ QStringLiteral("--selftest"), root });
        verifyQuiet(run);
        QCOMPARE(run.lines(), selfTestLines(root, line, menuSkipLine, autosyncSkipLine, agentOkLine(run.pid), false));
        QCOMPARE(run.exitCode, 0);
    }

    void agentFile_data()
    {
        QTest::addColumn<QString>("temporaryFolder"); ///< empty: TMPDIR unset
        QTest::addColumn<QString>("failure"); ///< the FAIL line's reason; empty: passes; "*": any

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
            temporaryFolder = m_bench->tmp();
        const QByteArray before = QFile::exists(temporaryFolder) && QFileInfo(temporaryFolder).isFile()
            ? readAll(temporaryFolder)
            : QByteArray();
        const QString root = writeProject();
        const ChildRun run = m_bench->run({ QStringLiteral("--selftest"), root },
            { temporaryFolder.isEmpty() ? "TMPDIR" : "TMPDIR=" + temporaryFolder });
        verifyQuiet(run);
        const QStringList lines = run.lines();
        QCOMPARE(lines.size(), 6);
        QCOMPARE(
            lines.mid(0, 4), selfTestLines(root, reused77Line, menuSkipLine, autosyncSkipLine, {}, false).mid(0, 4));
        const QString name = QStringLiteral("menubar-selftest-%1%2").arg(run.pid).arg(agentExtension);
        if (failure.isEmpty()) {
            QCOMPARE(lines.at(4), agentOkLine(run.pid));
            QCOMPARE(lines.at(5), passedLine);
            QCOMPARE(run.exitCode, 0);
        } else {
            const QString prefix = QStringLiteral("FAIL: 开机自启配置：");
            QVERIFY2(lines.at(4).startsWith(prefix), qPrintable(lines.at(4)));
            if (failure == QStringLiteral("*"))
                QVERIFY2(lines.at(4).size() > prefix.size(), qPrintable(lines.at(4)));
            else
                QCOMPARE(lines.at(4), prefix + failure);
            QCOMPARE(lines.at(5), notPassedLine);
            QCOMPARE(run.exitCode, 1);
        }
        // No agent file is left anywhere it could have gone, and nothing was put in place of
        // a temporary folder that is not there.
        const QString effective = temporaryFolder.isEmpty() ? QStringLiteral("/tmp") : temporaryFolder;
        QVERIFY(!QFileInfo::exists(effective + QLatin1Char('/') + name));
        QVERIFY(!QFileInfo::exists(QLatin1Char('/') + name));
        if (QFileInfo(effective).isDir())
            QVERIFY(!entriesOf(effective).contains(name));
        if (effective == m_bench->tmp())
            QCOMPARE(entriesOf(m_bench->tmp()), QStringList());
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
        const QString root = writeProject();
        const ChildRun run = m_bench->run({ QStringLiteral("--selftest"), root });
        QVERIFY(run.finished);
        QCOMPARE(run.err, QByteArray());
        QCOMPARE(run.lines(),
            selfTestLines(root, reused77Line, menuSkipLine, autosyncSkipLine, agentOkLine(run.pid), false));
        QCOMPARE(entriesOf(autostartFolder()), QStringList { QStringLiteral("local.library.menubar.desktop") });
        QCOMPARE(readAll(loginItem), content);
        QVERIFY(QFile::remove(loginItem));
        QVERIFY(QDir().rmdir(autostartFolder()));
    }
};

QTEST_GUILESS_MAIN(TestSelfTest)
#include "tst_selftest.moc"
