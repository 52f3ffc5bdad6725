// Where the project root comes from, and what the application's own path is.
#include "engine/controller.h"
#include "fakehttpserver.h"
#include "model/identity.h"
#include "service/projectroot.h"
#include "testenv.h"

#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

static const QString none = QStringLiteral("<none>");

static QString project() // with a folder "x" inside, for paths that climb out of it
{
    const QString folder = makeFolder(QStringLiteral("p"));
    QDir().mkpath(folder + QStringLiteral("/x"));
    return writeFile(folder + QStringLiteral("/server.py"), "APP_VERSION = \"5\"\n") ? folder : QString();
}

class TestProjectRoot final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void registration_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // empty: no file
        QTest::addColumn<QString>("expected");
        const QByteArray a = R"({"project_path":"/a"})", pad(registrationFileLimit - a.size(), ' ');
        QTest::newRow("cleaned, other string keys")
            << QByteArray(R"({"h":"x","project_path":"/a/./b/../c/"})") << "/a/c";
        QTest::newRow("BOM, tab, CR, LF, escapes")
            << QByteArray("\xEF\xBB\xBF{\t\"project_path\":\r\n\"\\/书\\u0020\"}\n") << "/书 ";
        QTest::newRow("exactly the size limit") << a + pad << "/a";
        QTest::newRow("over the size limit") << a + pad + " " << none;
        QTest::newRow("relative") << QByteArray(R"({"project_path":"a/b"})") << none;
        QTest::newRow("a value not a string") << QByteArray(R"({"project_path":"/a","port":1})") << none;
        QTest::newRow("garbage after") << a + "x" << none;
        QTest::newRow("raw control character") << QByteArray("{\"project_path\":\"/a\x01\"}") << none;
        QTest::newRow("escaped NUL") << QByteArray(R"({"project_path":"/a\u0000"})") << none;
        QTest::newRow("lone surrogate") << QByteArray(R"({"project_path":"/a\ud800"})") << none;
        QTest::newRow("missing") << QByteArray() << none;
    }
    void registration()
    {
        QFETCH(QByteArray, bytes);
        QFile::remove(registrationFilePath());
        QVERIFY(bytes.isEmpty() || writeFile(registrationFilePath(), bytes));
        QTEST(registeredProject().value_or(none), "expected");
    }

    void resolve()
    {
        const QString p = project(), q = project(), plain = makeFolder(QStringLiteral("plain"));
        const auto remembered = [] { return companionSettings().value(projectPathKey, none).toString(); };
        QCOMPARE(resolveProjectRoot(false, plain).value_or(none), none);
        companionSettings().setValue(projectPathKey, q + QStringLiteral("/x/.."));
        QCOMPARE(resolveProjectRoot(false, plain).value_or(none), q); // cleaned, left as it was
        QCOMPARE(remembered(), q + QStringLiteral("/x/.."));
        QCOMPARE(resolveProjectRoot(false, p + QStringLiteral("/./x/../")).value_or(none), p); // beside wins
        QCOMPARE(remembered(), p);
        companionSettings().setValue(projectPathKey, plain);
        QCOMPARE(resolveProjectRoot(false, QString()).value_or(none), none); // a stale one stays
        QCOMPARE(remembered(), plain);

        // The engine asks the desktop client's registration first; a broken one is passed over.
        companionSettings().setValue(projectPathKey, q);
        FakeHttpServer server; // runs the version on disk, so the engine's first check keeps it
        server.route("GET", "/api/version", FakeHttpServer::json(200, R"({"version":"5"})"));
        ControllerOptions options;
        options.settings.service.port = server.port();
        options.platform = linuxPlatform(makeFolder(QStringLiteral("config")));
        for (const QString &root : { p, q }) {
            QVERIFY(writeFile(
                registrationFilePath(), "{\"project_path\":" + (root == p ? '"' + p.toUtf8() + '"' : "7") + "}"));
            Controller engine(options);
            QSignalSpy opened(&engine, &Controller::openRequested);
            engine.start();
            engine.openProjectFolder();
            QCOMPARE(opened.value(0).value(0).toUrl().toLocalFile(), root);
        }
        QCOMPARE(registrationFilePath(),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                + QStringLiteral("/LocalQuenloClient/connection.json"));
        QCOMPARE(companionSettings().fileName(),
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                + QStringLiteral("/local.library.menubar.conf"));
        QCOMPARE(executablePath(), QCoreApplication::applicationFilePath());
        QCOMPARE(folderBesideApplication(), QCoreApplication::applicationDirPath());
    }

    void applicationPath_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("application"); // on macOS; empty: the executable
        QTest::newRow("bundle, dots") << "/U/./x/../本地Quenlo.app/Contents/MacOS/q"
                                      << "/U/本地Quenlo.app";
        QTest::newRow("shortest bundle name") << "/o/Q.app/Contents/MacOS/q"
                                              << "/o/Q.app";
        QTest::newRow("bare .app") << "/o/.app/Contents/MacOS/q"
                                   << "";
        QTest::newRow("no .app") << "/o/Quenlo/Contents/MacOS/q"
                                 << "";
        QTest::newRow("unbundled") << "/o/bin/../q"
                                   << "";
    }
    void applicationPath()
    {
        QFETCH(QString, executable);
        QFETCH(QString, application);
        const QString clean = QDir::cleanPath(executable);
        QCOMPARE(
            quenlo::applicationPath(executable, PlatformTable::OS::Mac), application.isEmpty() ? clean : application);
        QCOMPARE(quenlo::applicationPath(executable, PlatformTable::OS::Linux), clean); // Linux has no bundles
    }
};

QTEST_GUILESS_MAIN(TestProjectRoot)
#include "tst_projectroot.moc"
