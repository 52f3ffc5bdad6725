// Where the project root comes from, and what the application's own path is.
#include "model/identity.h"
#include "service/projectroot.h"
#include "testenv.h"

#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

static const QString none = QStringLiteral("<none>");

class TestProjectRoot final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void registration_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // empty: no file
        QTest::addColumn<QString>("expected");
        const QByteArray a = "{\"project_path\":\"/a", pad(registrationFileLimit - a.size() - 2, ' ');
        QTest::newRow("cleaned, other string keys") << a + "/./b/../c/\",\"h\":\"x\"}" << QString("/a/c");
        QTest::newRow("BOM, tab, CR, LF, escapes") << "\xEF\xBB\xBF{\t" + a.mid(1) + "\\/书\\u0020\"}\r\n"
                                                   << QString("/a/书 ");
        QTest::newRow("exactly the size limit") << a + "\"}" + pad << "/a";
        QTest::newRow("over the size limit") << a + "\"} " + pad << none;
        QTest::newRow("relative") << QByteArray("{\"project_path\":\"a\"}") << none;
        QTest::newRow("a value not a string") << a + "\",\"port\":1}" << none;
        QTest::newRow("garbage after") << a + "\"}x" << none;
        QTest::newRow("raw control character") << a + "\x01\"}" << none;
        QTest::newRow("escaped NUL") << a + "\\u0000\"}" << none;
        QTest::newRow("lone surrogate") << a + "\\ud800\"}" << none;
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
        const QString p = makeFolder(QStringLiteral("p")), q = makeFolder(QStringLiteral("q"));
        QVERIFY(writeFile(p + "/server.py", "APP_VERSION = \"5\"\n")
            && writeFile(q + "/server.py", "APP_VERSION = \"5\"\n"));
        const auto resolve = [](const QString &beside) { // what is found, then what is remembered
            const QString found = resolveProjectRoot(false, beside).value_or(none);
            return found + ' ' + companionSettings().value(projectPathKey, none).toString();
        };
        QCOMPARE(resolve(scratchDir()), none + ' ' + none);
        companionSettings().setValue(projectPathKey, q + "/.");
        QCOMPARE(resolve(scratchDir()), q + ' ' + q + "/."); // cleaned, left as it was
        QCOMPARE(resolve(p + "/./"), p + ' ' + p); // beside wins and is remembered
        companionSettings().setValue(projectPathKey, scratchDir());
        QCOMPARE(resolve(QString()), none + ' ' + scratchDir()); // a stale one is kept

        QCOMPARE(executablePath() + folderBesideApplication(),
            QCoreApplication::applicationFilePath() + QCoreApplication::applicationDirPath());
    }

    void applicationPath_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<QString>("application"); // on macOS; empty: the executable (always on Linux)
        QTest::newRow("bundle, dots") << "/U/./x/../本地Quenlo.app/Contents/MacOS/q" << QString("/U/本地Quenlo.app");
        QTest::newRow("shortest bundle name") << "/o/Q.app/Contents/MacOS/q" << QString("/o/Q.app");
        QTest::newRow("bare .app") << "/o/.app/Contents/MacOS/q" << QString();
        QTest::newRow("no .app") << "/o/Quenlo/Contents/MacOS/q" << QString();
        QTest::newRow("unbundled") << "/o/bin/../q" << QString();
    }
    void applicationPath()
    {
        QFETCH(QString, executable);
        QFETCH(QString, application);
        const QString clean = QDir::cleanPath(executable);
        QCOMPARE(quenlo::applicationPath(executable, PlatformTable::OS::Mac) + ' '
                + quenlo::applicationPath(executable, PlatformTable::OS::Linux),
            (application.isEmpty() ? clean : application) + ' ' + clean);
    }
};

QTEST_GUILESS_MAIN(TestProjectRoot)
#include "tst_projectroot.moc"
