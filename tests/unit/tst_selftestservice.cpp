// quenlo-menubar --selftest as a child process where it has to start the server itself: the
// demo library, started by the self-test and left running, then reused by a second run; a
// server that starts but cannot read its data; and servers that cannot be started at all,
// after which every check still runs.

#include "processinfo.h"
#include "selftestbench.h"

#include <QDir>
#include <QFile>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

class TestSelfTestService final : public QObject {
    Q_OBJECT

    quint16 m_port = 0;
    QString m_tmp;

    ChildRun selfTest(const QString &root, const QStringList &environment = {})
    {
        return runChild(menubarBinary(), { QStringLiteral("--selftest"), root },
            QStringList { QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(m_port), "TZ=UTC", "TMPDIR=" + m_tmp }
                + environment);
    }

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

private Q_SLOTS:
    void init()
    {
        m_port = freePort();
        m_tmp = makeFolder(QStringLiteral("tmp"));
    }

    void cleanup()
    {
        // The self-test leaves the servers it started running; they are this test's to end.
        endListeners(m_port);
    }

    void demoLibraryStartedAndLeftRunning()
    {
        const QString root = copyDemoLibrary();
        // A saved schedule, so the autosync line also shows the next time.
        QVERIFY(writeFile(root + QStringLiteral("/autosync.json"), R"({"hours": 6, "next": 4102444800})"));

        const ChildRun first = selfTest(root);
        verifyQuiet(first);
        const QString located = QStringLiteral("OK: 定位项目目录：") + root;
        const QString menu = QStringLiteral("OK: 菜单状态 /api/menu-status：未读 3 条，运行中 0 个，排队 0 个");
        const QString autosync = QStringLiteral("OK: 自动同步 /api/autosync：每 6 小时，下次 1月1日 00:00");
        QCOMPARE(first.lines(),
            (QStringList { located, QStringLiteral("OK: 服务已拉起（磁盘版本 3，端口 %1）").arg(m_port), menu, autosync,
                agentOkLine(first.pid), passedLine }));
        QCOMPARE(first.exitCode, 0);

        // The server outlives the self-test that started it.
        pid_t server = 0;
        verifyServerOf(root, &server);
        if (QTest::currentTestFailed())
            return;
        QVERIFY(processRunning(server));

        // A second run finds it and reuses it.
        const ChildRun second = selfTest(root);
        verifyQuiet(second);
        QCOMPARE(second.lines(),
            (QStringList { located, QStringLiteral("OK: 服务已在运行，直接复用（运行中 3，磁盘 3）"), menu, autosync,
                agentOkLine(second.pid), passedLine }));
        QCOMPARE(second.exitCode, 0);
        QCOMPARE(listeningPids(m_port), QList<pid_t> { server });
        QCOMPARE(entriesOf(m_tmp), QStringList());
    }

    void startedButDataUnreadable()
    {
        // The server answers, but its database probe fails: a FAIL line, and the endpoint
        // checks still run against the server that now listens.
        const QString root = copyDemoLibrary();
        const ChildRun run = selfTest(root, { QStringLiteral("DEMO_PREFERENCES_STATUS=500") });
        verifyQuiet(run);
        QCOMPARE(run.lines(),
            (QStringList { QStringLiteral("OK: 定位项目目录：") + root,
                QStringLiteral("FAIL: 确保服务可用：服务已启动但读不到Quenlo数据"),
                QStringLiteral("OK: 菜单状态 /api/menu-status：未读 3 条，运行中 0 个，排队 0 个"),
                QStringLiteral("OK: 自动同步 /api/autosync：关闭"), agentOkLine(run.pid), notPassedLine }));
        QCOMPARE(run.exitCode, 1);
        pid_t server = 0;
        verifyServerOf(root, &server);
    }

    void serverCannotStart_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("reason");

        // server.py without the interpreter beside it: nohup runs, the server never comes.
        const QString bare = makeFolder(QStringLiteral("bare"));
        writeFile(bare + QStringLiteral("/server.py"), "APP_VERSION = \"3\"\n");
        QTest::newRow("no runtime-python") << bare << QStringLiteral("服务没有在 10 秒内响应");

        // The log cannot be opened for appending, so nothing is started.
        const QString noLog = copyDemoLibrary(QStringLiteral("no-log"));
        QDir().mkpath(noLog + QStringLiteral("/server.log"));
        QTest::newRow("server.log is a folder") << noLog << QStringLiteral("无法写入 server.log");
    }

    void serverCannotStart()
    {
        QFETCH(QString, root);
        QFETCH(QString, reason);

        QVERIFY(listeningPids(m_port).isEmpty());
        const ChildRun run = selfTest(root);
        verifyQuiet(run);
        QCOMPARE(run.lines(),
            (QStringList { QStringLiteral("OK: 定位项目目录：") + root, QStringLiteral("FAIL: 确保服务可用：") + reason,
                QStringLiteral("FAIL: 菜单状态 /api/menu-status：连不上服务"),
                QStringLiteral("FAIL: 自动同步 /api/autosync：连不上服务"), agentOkLine(run.pid), notPassedLine }));
        QCOMPARE(run.exitCode, 1);
        QVERIFY(listeningPids(m_port).isEmpty());
        QCOMPARE(entriesOf(m_tmp), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestSelfTestService)
#include "tst_selftestservice.moc"
