// The process as a user starts it: what application mode does with its arguments and without
// a display.

#include "fakehttpserver.h"
#include "service/projectroot.h"
#include "testenv.h"

#include <QFileInfo>
#include <QProcess>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

class TestEntry final : public QObject {
    Q_OBJECT

    QString m_project;

private Q_SLOTS:
    void initTestCase()
    {
        // A remembered project without an interpreter: a start would leave its server.log.
        m_project = makeFolder(QStringLiteral("project"));
        QVERIFY(writeFile(m_project + QStringLiteral("/server.py"), "APP_VERSION = \"1\"\n"));
        companionSettings().setValue(QStringLiteral("projectPath"), m_project);
        companionSettings().sync();
    }

    void noDisplay_data()
    {
        QTest::addColumn<QStringList>("environment"); // NAME=VALUE, or NAME= to remove it
        QTest::addColumn<QString>("line");
        const QString none = QStringLiteral("quenlo-menubar: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                                            "nothing was started\n");
        const QString failed = QStringLiteral("quenlo-menubar: the display could not be opened; nothing was started\n");
        QTest::newRow("nothing set") << QStringList{"QT_QPA_PLATFORM=", "DISPLAY=", "WAYLAND_DISPLAY="} << none;
        QTest::newRow("no X server there") << QStringList{"QT_QPA_PLATFORM=", "DISPLAY=:97", "WAYLAND_DISPLAY="}
                                           << failed;
        QTest::newRow("no such plugin") << QStringList{"QT_QPA_PLATFORM=nosuchplugin"} << failed;
    }
    void noDisplay()
    {
        QFETCH(QStringList, environment);
        QFETCH(QString, line);
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString &entry : environment) {
            const qsizetype eq = entry.indexOf('=');
            if (eq + 1 == entry.size())
                env.remove(entry.left(eq));
            else
                env.insert(entry.left(eq), entry.mid(eq + 1));
        }
        child.setProcessEnvironment(env);
        child.start(menubarBinary(), {});
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 1);
        QCOMPARE(QString::fromLocal8Bit(child.readAllStandardError()), line);
        QVERIFY(!QFileInfo::exists(m_project + QStringLiteral("/server.log")));
    }

    void qtOptionsAreIgnored()
    {
        // Handed to Qt, "-platform nosuchplugin" would abort the start.
        FakeHttpServer server;
        server.route("GET", "/api/version", FakeHttpServer::json(200, R"({"version":"1"})"));
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LOCAL_LIBRARY_PORT"), QString::number(server.port()));
        child.setProcessEnvironment(env);
        child.start(menubarBinary(), {QStringLiteral("-platform"), QStringLiteral("nosuchplugin"), QStringLiteral("-reverse")});
        QVERIFY(child.waitForStarted());
        // Running and polling: the first poll reaches the server.
        QTRY_VERIFY_WITH_TIMEOUT(!server.requestsFor("GET", "/api/menu-status").isEmpty(), 10000);
        QCOMPARE(child.state(), QProcess::Running);
        child.kill();
        child.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestEntry)
#include "tst_entry.moc"
