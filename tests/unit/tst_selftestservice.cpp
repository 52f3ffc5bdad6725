// The self-test where it has to start the server itself: the demo library, started by
// quenlo-menubar --selftest and left running, then reused by a second run; a server that
// starts but cannot read its data; and servers that cannot be started at all, after which
// every check still runs. The last run in this process, with a short start wait.

#include "processinfo.h"
#include "selftestbench.h"

#include <QDir>
#include <QFile>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

class TestSelfTestService final : public QObject {
    Q_OBJECT

    quint16 m_port = 0;
    QString m_tmp;

    /// The one server listening on the port, started from \a root's server.py.
    void verifyServerOf(const QString &root, pid_t *found)
    {
        const QList<pid_t> pids = listeningPids(m_port);
        QCOMPARE(pids.size(), 1);
        *found = pids.first();
        QCOMPARE(workingFolder(*found), root);
        QVERIFY2(commandLine(*found).contains(root + QStringLiteral("/server.py")),
            qPrintable(commandLine(*found).join(u' ')));
    }

    ChildRun selfTestHere(const QString &root)
    {
        Settings settings;
        settings.service.port = m_port;
        settings.supervisor = { 400ms, 800ms, 50ms };
        return test::selfTestHere(root, settings, m_tmp);
    }

private Q_SLOTS:
    void init()
    {
        m_port = freePort();
        m_tmp = makeFolder(QStringLiteral("tmp"));
    }

    void cleanup()
    {
        // The self-test leaves the servers it started running; they are this test's to end.
        endListeners(m_port, 0);
        qunsetenv("DEMO_PREFERENCES_STATUS");
    }

    void demoLibraryStartedAndLeftRunning()
    {
        const QString root = copyDemoLibrary();
        // A saved schedule, so the autosync line also shows the next time.
        QVERIFY(writeFile(root + QStringLiteral("/autosync.json"), R"({"hours": 6, "next": 4102444800})"));
        const auto selfTest = [&] {
            return runChild(menubarBinary(), { QStringLiteral("--selftest"), root },
                { QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(m_port), "TZ=UTC", "TMPDIR=" + m_tmp });
        };

        const ChildRun first = selfTest();
        verifyQuiet(first);
        const QString menu = QStringLiteral("OK: 菜单状态 /api/menu-status：未读 3 条，运行中 0 个，排队 0 个");
        const QString autosync = QStringLiteral("OK: 自动同步 /api/autosync：每 6 小时，下次 1月1日 00:00");
        QCOMPARE(first.lines(),
            selfTestLines(root, QStringLiteral("OK: 服务已拉起（磁盘版本 3，端口 %1）").arg(m_port), menu, autosync,
                agentOkLine(first.pid), false));
        QCOMPARE(first.exitCode, 0);

        // The server outlives the self-test that started it, and a second run reuses it.
        pid_t server = 0;
        verifyServerOf(root, &server);
        if (QTest::currentTestFailed())
            return;
        const ChildRun second = selfTest();
        verifyQuiet(second);
        QCOMPARE(second.lines(),
            selfTestLines(root, QStringLiteral("OK: 服务已在运行，直接复用（运行中 3，磁盘 3）"), menu, autosync,
                agentOkLine(second.pid), false));
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(listeningPids(m_port), QList<pid_t> { server });
        QCOMPARE(entriesOf(m_tmp), QStringList());
    }

    void startedButDataUnreadable()
    {
        // The server answers, but its database probe fails: a FAIL line, and the endpoint
        // checks still run against the server that now listens.
        const QString root = copyDemoLibrary();
        qputenv("DEMO_PREFERENCES_STATUS", "500");
        const ChildRun run = selfTestHere(root);
        verifyQuiet(run);
        QCOMPARE(run.lines(),
            selfTestLines(root, QStringLiteral("FAIL: 确保服务可用：服务已启动但读不到Quenlo数据"),
                QStringLiteral("OK: 菜单状态 /api/menu-status：未读 3 条，运行中 0 个，排队 0 个"),
                QStringLiteral("OK: 自动同步 /api/autosync：关闭"), agentOkLine(run.pid), true));
        QCOMPARE(run.exitCode, 1);
        pid_t server = 0;
        verifyServerOf(root, &server);
    }

    void serverCannotStart_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("reason"); // the FAIL line's reason
        QTest::addColumn<bool>("prefix"); // the reason only starts so

        // server.py without the interpreter beside it: nohup runs, the server never comes.
        const QString bare = makeFolder(QStringLiteral("bare"));
        writeFile(bare + QStringLiteral("/server.py"), "APP_VERSION = \"3\"\n");
        QTest::newRow("no runtime-python") << bare << QStringLiteral("服务没有在") << true;

        // The log cannot be opened for appending, so nothing is started.
        const QString noLog = copyDemoLibrary(QStringLiteral("no-log"));
        QDir().mkpath(noLog + QStringLiteral("/server.log"));
        QTest::newRow("server.log is a folder") << noLog << QStringLiteral("无法写入 server.log") << false;
    }
    void serverCannotStart()
    {
        QFETCH(QString, root);
        QFETCH(QString, reason);
        QFETCH(bool, prefix);
        QVERIFY(listeningPids(m_port).isEmpty());
        const ChildRun run = selfTestHere(root);
        verifyQuiet(run);
        QStringList lines = run.lines();
        const QString failLine = QStringLiteral("FAIL: 确保服务可用：") + reason;
        // The wait's length in the text is not this test's concern.
        if (prefix && lines.value(1).startsWith(failLine))
            lines[1] = failLine;
        QCOMPARE(lines,
            selfTestLines(root, failLine, QStringLiteral("FAIL: 菜单状态 /api/menu-status：连不上服务"),
                QStringLiteral("FAIL: 自动同步 /api/autosync：连不上服务"), agentOkLine(run.pid), true));
        QCOMPARE(run.exitCode, 1);
        QVERIFY(listeningPids(m_port).isEmpty());
        QCOMPARE(entriesOf(m_tmp), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSelfTestService)
#include "tst_selftestservice.moc"
