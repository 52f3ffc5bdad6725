#include "model/identity.h"
#include "service/applicationpath.h"
#include "service/projectroot.h"

#include "testenv.h"

#include <QCoreApplication>
#include <QFile>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>

using namespace quenlo;
using namespace quenlo::test;

namespace {

const QString none = QStringLiteral("<none>");

QString orNone(const std::optional<QString> &value)
{
    return value.value_or(none);
}

QByteArray registration(const QByteArray &inner)
{
    return "{" + inner + "}";
}

QByteArray utf16(const QString &text)
{
    return QByteArray(reinterpret_cast<const char *>(text.utf16()), text.size() * 2);
}

// A nesting far beyond what any parser should follow by recursion.
QByteArray deeplyNested(int depth)
{
    return "{\"project_path\":\"/a\",\"x\":" + QByteArray(depth, '[') + QByteArray(depth, ']') + "}";
}

} // namespace

class TestProjectRoot final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        QSettings settings = companionSettings();
        settings.clear();
        settings.sync();
        QFile::remove(registrationFilePath());
    }

    void registrationContent_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("expected");

        QTest::newRow("absolute path to a missing folder")
            << registration("\"project_path\":\"/nowhere/library\"") << "/nowhere/library";
        QTest::newRow("dot components resolved") << registration("\"project_path\":\"/a/./b/../c\"") << "/a/c";
        QTest::newRow("other string keys ignored")
            << registration("\"host\":\"nas\",\"project_path\":\"/a\",\"port\":\"8765\"") << "/a";
        QTest::newRow("JSON escapes") << registration("\"project_path\":\"\\/lib\\u0020one\"") << "/lib one";
        QTest::newRow("byte order mark") << "\xEF\xBB\xBF" + registration("\"project_path\":\"/a\"") << "/a";
        QTest::newRow("just under the size limit")
            << registration("\"project_path\":\"/a\"") + QByteArray(registrationFileLimit - 100, ' ') << "/a";

        QTest::newRow("relative path") << registration("\"project_path\":\"library/main\"") << none;
        QTest::newRow("empty path") << registration("\"project_path\":\"\"") << none;
        QTest::newRow("no project_path") << registration("\"host\":\"nas\"") << none;
        QTest::newRow("extra key with a number") << registration("\"project_path\":\"/a\",\"port\":8765") << none;
        QTest::newRow("extra key with an object") << registration("\"project_path\":\"/a\",\"x\":{}") << none;
        QTest::newRow("array top level") << QByteArray("[{\"project_path\":\"/a\"}]") << none;
        QTest::newRow("not JSON") << QByteArray("project_path=/a\n") << none;
        QTest::newRow("trailing garbage") << registration("\"project_path\":\"/a\"") + "x" << none;
        QTest::newRow("binary bytes") << QByteArray("\x00\x01\x02\xff\xfe", 5) + registration("\"project_path\":\"/a\"")
                                      << none;
        QTest::newRow("raw NUL inside the value")
            << QByteArray("{\"project_path\":\"/a") + QByteArray(1, '\0') + "b\"}" << none;
        QTest::newRow("escaped NUL") << registration("\"project_path\":\"/a\\u0000b\"") << none;
        QTest::newRow("lone surrogate escape") << registration("\"project_path\":\"/a\\ud800\"") << none;
        QTest::newRow("invalid UTF-8") << registration("\"project_path\":\"/a\xff\xfe\"") << none;
        QTest::newRow("UTF-16") << utf16(QStringLiteral("{\"project_path\":\"/a\"}")) << none;
        QTest::newRow("deep nesting") << deeplyNested(200000) << none;
        QTest::newRow("over the size limit")
            << registration("\"project_path\":\"/a\"") + QByteArray(registrationFileLimit, ' ') << none;
    }
    void registrationContent()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        QVERIFY(writeFile(registrationFilePath(), bytes));
        QCOMPARE(orNone(registeredProject()), expected);
        // The file is only read.
        QFile file(registrationFilePath());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), bytes);
    }

    void registrationFileKind_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing") << "missing" << none;
        QTest::newRow("FIFO in its place, never opened") << "fifo" << none;
        QTest::newRow("link to a registration") << "link"
                                                << "/linked";
        QTest::newRow("dangling link") << "dangling" << none;
    }
    void registrationFileKind()
    {
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        const QString path = registrationFilePath();
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile::remove(path);
        QDir(path).removeRecursively();
        if (kind == QStringLiteral("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (kind == QStringLiteral("link")) {
            const QString target = makeFolder(QStringLiteral("elsewhere")) + QStringLiteral("/connection.json");
            QVERIFY(writeFile(target, "{\"project_path\":\"/linked\"}"));
            QVERIFY(QFile::link(target, path));
        } else if (kind == QStringLiteral("dangling")) {
            QVERIFY(QFile::link(scratchDir() + QStringLiteral("/gone.json"), path));
        }
        QCOMPARE(orNone(registeredProject()), expected);
        QFile::remove(path);
        QDir(path).removeRecursively();
    }

    void registrationFileLocation()
    {
        QCOMPARE(registrationFilePath(),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                + QStringLiteral("/LocalQuenloClient/connection.json"));
    }

    void looksLikeProject_data()
    {
        QTest::addColumn<QString>("entry"); // what "server.py" is, or what the folder holds instead
        QTest::addColumn<bool>("expected");
        QTest::newRow("server.py file") << "file" << true;
        QTest::newRow("folder named server.py") << "folder" << true;
        QTest::newRow("link to an existing file") << "link" << true;
        QTest::newRow("dangling link") << "dangling" << false;
        QTest::newRow("empty folder") << "nothing" << false;
        QTest::newRow("missing folder") << "missing" << false;
        QTest::newRow("no folder at all") << "empty path" << false;
    }
    void looksLikeProject()
    {
        QFETCH(QString, entry);
        QFETCH(bool, expected);
        QString folder = makeFolder(QStringLiteral("project"));
        const QString script = folder + QStringLiteral("/server.py");
        if (entry == QStringLiteral("file"))
            QVERIFY(writeFile(script, "APP_VERSION = '1'\n"));
        else if (entry == QStringLiteral("folder"))
            QVERIFY(QDir().mkpath(script));
        else if (entry == QStringLiteral("link"))
            QVERIFY(writeFile(folder + QStringLiteral("/real.py"), "") && QFile::link(folder + "/real.py", script));
        else if (entry == QStringLiteral("dangling"))
            QVERIFY(QFile::link(folder + QStringLiteral("/gone.py"), script));
        else if (entry == QStringLiteral("missing"))
            folder += QStringLiteral("/not-there");
        else if (entry == QStringLiteral("empty path"))
            folder.clear();
        QCOMPARE(quenlo::looksLikeProject(folder), expected);
    }

    void resolve_data()
    {
        // beside: "project", "plain" (no server.py) or "" (no application folder known)
        // remembered: "project", "stale" (server.py deleted), "gone" (folder deleted), "" (none)
        // expected / storedAfter: "beside", "remembered" or "<none>"
        QTest::addColumn<QString>("beside");
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("storedAfter");
        QTest::newRow("beside the app wins over a remembered project and rewrites it") << "project"
                                                                                       << "project"
                                                                                       << "beside"
                                                                                       << "beside";
        QTest::newRow("beside the app replaces a stale value") << "project"
                                                               << "stale"
                                                               << "beside"
                                                               << "beside";
        QTest::newRow("remembered project when nothing is beside the app") << "plain"
                                                                           << "project"
                                                                           << "remembered"
                                                                           << "remembered";
        QTest::newRow("remembered project without an application folder") << ""
                                                                          << "project"
                                                                          << "remembered"
                                                                          << "remembered";
        QTest::newRow("stale remembered path left untouched") << "plain"
                                                              << "stale" << none << "remembered";
        QTest::newRow("nothing anywhere") << "plain"
                                          << "" << none << none;
    }
    void resolve()
    {
        QFETCH(QString, beside);
        QFETCH(QString, remembered);
        QFETCH(QString, expected);
        QFETCH(QString, storedAfter);

        QString besideFolder;
        if (!beside.isEmpty())
            besideFolder = makeFolder(QStringLiteral("beside"));
        if (beside == QStringLiteral("project"))
            QVERIFY(writeFile(besideFolder + QStringLiteral("/server.py"), ""));

        QString rememberedFolder;
        if (!remembered.isEmpty()) {
            rememberedFolder = makeFolder(QStringLiteral("remembered"));
            QVERIFY(writeFile(rememberedFolder + QStringLiteral("/server.py"), ""));
            if (remembered == QStringLiteral("stale"))
                QVERIFY(QFile::remove(rememberedFolder + QStringLiteral("/server.py")));
            if (remembered == QStringLiteral("gone"))
                QVERIFY(QDir(rememberedFolder).removeRecursively());
            QSettings settings = companionSettings();
            settings.setValue(projectPathKey, rememberedFolder);
            settings.sync();
        }

        const auto pick = [&](const QString &which) {
            if (which == QStringLiteral("beside"))
                return besideFolder;
            if (which == QStringLiteral("remembered"))
                return rememberedFolder;
            return none;
        };
        QCOMPARE(orNone(resolveProjectRoot(false, besideFolder)), pick(expected));
        QSettings settings = companionSettings();
        QCOMPARE(settings.value(projectPathKey, none).toString(), pick(storedAfter));
    }

    void resolveCleansPaths_data()
    {
        QTest::addColumn<bool>("beside");
        QTest::newRow("beside the app") << true;
        QTest::newRow("remembered") << false;
    }
    void resolveCleansPaths()
    {
        QFETCH(bool, beside);
        const QString folder = makeFolder(QStringLiteral("messy"));
        QVERIFY(writeFile(folder + QStringLiteral("/server.py"), ""));
        const QString messy = folder + QStringLiteral("/./sub/../");
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/sub")));
        if (!beside) {
            QSettings settings = companionSettings();
            settings.setValue(projectPathKey, messy);
        }
        QCOMPARE(orNone(resolveProjectRoot(false, beside ? messy : QString())), folder);
        if (beside)
            QCOMPARE(companionSettings().value(projectPathKey).toString(), folder);
    }

    void rememberedRootSurvivesTheProcess()
    {
        // What another run of the companion reads: the file of the "local.library.menubar"
        // domain in the user's configuration folder.
        const QString folder = makeFolder(QStringLiteral("kept"));
        QVERIFY(writeFile(folder + QStringLiteral("/server.py"), ""));
        QCOMPARE(orNone(resolveProjectRoot(false, folder)), folder);
        // Outside QStandardPaths' test mode this is $XDG_CONFIG_HOME.
        const QString file = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/local.library.menubar.conf");
        QCOMPARE(companionSettings().fileName(), file);
        QVERIFY(QFileInfo::exists(file));
        QSettings onDisk(file, QSettings::IniFormat);
        QCOMPARE(onDisk.value(QStringLiteral("projectPath")).toString(), folder);
    }

    void applicationPath_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("application");
        QTest::addColumn<QString>("beside");
        QTest::newRow("mac bundle") << "/Users/u/Library/本地Quenlo.app/Contents/MacOS/quenlo-menubar" << true
                                    << "/Users/u/Library/本地Quenlo.app"
                                    << "/Users/u/Library";
        QTest::newRow("mac bundle with dots in the path")
            << "/Users/u/./lib/../lib/Q.app/Contents/MacOS/q" << true << "/Users/u/lib/Q.app"
            << "/Users/u/lib";
        QTest::newRow("mac unbundled") << "/opt/q/bin/quenlo-menubar" << true << "/opt/q/bin/quenlo-menubar"
                                       << "/opt/q/bin";
        QTest::newRow("mac layout without .app") << "/opt/Q/Contents/MacOS/q" << true << "/opt/Q/Contents/MacOS/q"
                                                 << "/opt/Q/Contents/MacOS";
        QTest::newRow("linux executable") << "/home/u/lib/quenlo-menubar" << false << "/home/u/lib/quenlo-menubar"
                                          << "/home/u/lib";
        QTest::newRow("linux ignores a bundle layout")
            << "/opt/Q.app/Contents/MacOS/q" << false << "/opt/Q.app/Contents/MacOS/q"
            << "/opt/Q.app/Contents/MacOS";
        QTest::newRow("unknown executable") << "" << false << ""
                                            << "";
    }
    void applicationPath()
    {
        QFETCH(QString, executable);
        QFETCH(bool, mac);
        QFETCH(QString, application);
        QFETCH(QString, beside);
        const QString found
            = quenlo::applicationPath(executable, mac ? PlatformTable::OS::Mac : PlatformTable::OS::Linux);
        QCOMPARE(found, application);
        QCOMPARE(folderHolding(found), beside);
    }

    void runningApplication()
    {
        QCOMPARE(executablePath(), QCoreApplication::applicationFilePath());
        QCOMPARE(folderBesideApplication(), QCoreApplication::applicationDirPath());
    }
};

QTEST_GUILESS_MAIN(TestProjectRoot)
#include "tst_projectroot.moc"
