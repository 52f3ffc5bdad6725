// Where the project root comes from: the desktop client's registration file, the folder
// beside the application, the remembered setting, and the application's own path.

#include "model/identity.h"
#include "service/applicationpath.h"
#include "service/projectroot.h"

#include "scripttools.h"
#include "testenv.h"

#include <QCoreApplication>
#include <QSettings>
#include <QStandardPaths>
#include <QtTest>

#include <sys/stat.h>

using namespace quenlo;
using namespace quenlo::test;

namespace {

const QString none = QStringLiteral("<none>");

QByteArray withPath(const QByteArray &inner)
{
    return "{\"project_path\":" + inner + "}";
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

    void registration_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // or "<fifo>", "<link>", "<dangling>", "<missing>"
        QTest::addColumn<QString>("expected");
        QTest::newRow("absolute path to a missing folder") << withPath("\"/nowhere/lib\"") << "/nowhere/lib";
        QTest::newRow("cleaned") << withPath("\"/a/./b/../c/\"") << "/a/c";
        QTest::newRow("other string keys ignored") << QByteArray("{\"host\":\"nas\",\"project_path\":\"/a\",\"port\":\"8765\"}")
                                                   << "/a";
        QTest::newRow("JSON escapes, non-ASCII") << withPath("\"\\/书库\\u0020一\"") << "/书库 一";
        QTest::newRow("byte order mark, blanks") << "\xEF\xBB\xBF " + withPath("\"/a\"") + "\n" << "/a";
        QTest::newRow("just under the size limit")
            << withPath("\"/a\"") + QByteArray(registrationFileLimit - 100, ' ') << "/a";
        QTest::newRow("relative path") << withPath("\"library/main\"") << none;
        QTest::newRow("empty path") << withPath("\"\"") << none;
        QTest::newRow("no project_path") << QByteArray("{\"host\":\"nas\"}") << none;
        QTest::newRow("a value not a string") << QByteArray("{\"project_path\":\"/a\",\"port\":8765}") << none;
        QTest::newRow("array top level") << "[" + withPath("\"/a\"") + "]" << none;
        QTest::newRow("trailing garbage") << withPath("\"/a\"") + "x" << none;
        QTest::newRow("escaped NUL") << withPath("\"/a\\u0000b\"") << none;
        QTest::newRow("invalid UTF-8") << withPath("\"/a\xff\xfe\"") << none;
        QTest::newRow("deep nesting") << "{\"project_path\":\"/a\",\"x\":" + QByteArray(200000, '[')
                + QByteArray(200000, ']') + "}" << none;
        QTest::newRow("over the size limit") << withPath("\"/a\"") + QByteArray(registrationFileLimit, ' ') << none;
        QTest::newRow("missing") << QByteArray("<missing>") << none;
        QTest::newRow("FIFO in its place, never opened") << QByteArray("<fifo>") << none;
        QTest::newRow("link to a registration") << QByteArray("<link>") << "/linked";
        QTest::newRow("dangling link") << QByteArray("<dangling>") << none;
    }
    void registration()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, expected);
        const QString path = registrationFilePath();
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (bytes == "<fifo>") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        } else if (bytes == "<link>") {
            const QString target = makeFolder(QStringLiteral("elsewhere")) + QStringLiteral("/connection.json");
            QVERIFY(writeFile(target, withPath("\"/linked\"")));
            QVERIFY(QFile::link(target, path));
        } else if (bytes == "<dangling>") {
            QVERIFY(QFile::link(scratchDir() + QStringLiteral("/gone.json"), path));
        } else if (bytes != "<missing>") {
            QVERIFY(writeFile(path, bytes));
        }
        QCOMPARE(registeredProject().value_or(none), expected);
        // The file is only read.
        if (!bytes.startsWith('<'))
            QCOMPARE(readAll(path), bytes);
        QFile::remove(path);
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
        // beside: "project", "messy" (a project named with "." and ".."), "plain" (no server.py)
        // or "" (no application folder known).
        // remembered: "project", "messy", "stale" (server.py deleted), "gone" (folder deleted), "".
        // expected, storedAfter: "beside", "remembered" or "<none>".
        QTest::addColumn<QString>("beside");
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("storedAfter");
        QTest::newRow("beside the app wins and is remembered") << "project" << "project" << "beside" << "beside";
        QTest::newRow("beside the app replaces a stale value") << "project" << "stale" << "beside" << "beside";
        QTest::newRow("beside the app, cleaned") << "messy" << "" << "beside" << "beside";
        QTest::newRow("remembered, nothing beside the app") << "plain" << "project" << "remembered" << "remembered";
        QTest::newRow("remembered, cleaned") << "" << "messy" << "remembered" << "remembered";
        QTest::newRow("stale remembered path left untouched") << "plain" << "stale" << none << "remembered";
        QTest::newRow("remembered folder gone") << "plain" << "gone" << none << "remembered";
        QTest::newRow("nothing anywhere") << "plain" << "" << none << none;
    }
    void resolve()
    {
        QFETCH(QString, beside);
        QFETCH(QString, remembered);
        QFETCH(QString, expected);
        QFETCH(QString, storedAfter);
        // Each folder and the path by which it is handed in.
        const auto prepare = [](const QString &kind, const QString &name, QString *folder, QString *given) {
            if (kind.isEmpty())
                return;
            *folder = makeFolder(name);
            QVERIFY(QDir().mkpath(*folder + QStringLiteral("/sub")));
            if (kind != QStringLiteral("plain"))
                QVERIFY(writeFile(*folder + QStringLiteral("/server.py"), ""));
            if (kind == QStringLiteral("stale"))
                QVERIFY(QFile::remove(*folder + QStringLiteral("/server.py")));
            *given = kind == QStringLiteral("messy") ? *folder + QStringLiteral("/./sub/../") : *folder;
            if (kind == QStringLiteral("gone"))
                QVERIFY(QDir(*folder).removeRecursively());
        };
        QString besideFolder, besideGiven, rememberedFolder, rememberedGiven;
        prepare(beside, QStringLiteral("beside"), &besideFolder, &besideGiven);
        prepare(remembered, QStringLiteral("remembered"), &rememberedFolder, &rememberedGiven);
        if (!remembered.isEmpty()) {
            QSettings settings = companionSettings();
            settings.setValue(projectPathKey, rememberedGiven);
        }

        const auto pick = [&](const QString &which, bool asGiven) {
            if (which == QStringLiteral("beside"))
                return besideFolder;
            if (which == QStringLiteral("remembered"))
                return asGiven ? rememberedGiven : rememberedFolder;
            return none;
        };
        QCOMPARE(resolveProjectRoot(false, besideGiven).value_or(none), pick(expected, false));
        QCOMPARE(companionSettings().value(projectPathKey, none).toString(), pick(storedAfter, true));
    }

    void locations()
    {
        QCOMPARE(registrationFilePath(),
            QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                + QStringLiteral("/LocalQuenloClient/connection.json"));
        // What another run of the companion reads: the file of the "local.library.menubar"
        // domain in the configuration folder ($XDG_CONFIG_HOME outside QStandardPaths' test mode).
        const QString folder = makeFolder(QStringLiteral("kept"));
        QVERIFY(writeFile(folder + QStringLiteral("/server.py"), ""));
        QCOMPARE(resolveProjectRoot(false, folder).value_or(none), folder);
        const QString file = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/local.library.menubar.conf");
        QCOMPARE(companionSettings().fileName(), file);
        QCOMPARE(QSettings(file, QSettings::IniFormat).value(QStringLiteral("projectPath")).toString(), folder);
        // The running executable, found by the system rather than by Qt.
        QCOMPARE(executablePath(), QCoreApplication::applicationFilePath());
        QCOMPARE(folderBesideApplication(), QCoreApplication::applicationDirPath());
    }

    void applicationPath_data()
    {
        QTest::addColumn<QString>("executable");
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("application");
        QTest::addColumn<QString>("beside");
        QTest::newRow("mac bundle, dots in the path") << "/Users/u/./x/../本地Quenlo.app/Contents/MacOS/q" << true
                                                      << "/Users/u/本地Quenlo.app" << "/Users/u";
        QTest::newRow("mac unbundled") << "/opt/q/bin/q" << true << "/opt/q/bin/q" << "/opt/q/bin";
        QTest::newRow("mac layout without .app") << "/opt/Q/Contents/MacOS/q" << true << "/opt/Q/Contents/MacOS/q"
                                                 << "/opt/Q/Contents/MacOS";
        QTest::newRow("linux ignores a bundle layout") << "/opt/Q.app/Contents/MacOS/q" << false
                                                       << "/opt/Q.app/Contents/MacOS/q" << "/opt/Q.app/Contents/MacOS";
        QTest::newRow("unknown executable") << "" << false << "" << "";
    }
    void applicationPath()
    {
        QFETCH(QString, executable);
        QFETCH(bool, mac);
        QFETCH(QString, application);
        QFETCH(QString, beside);
        const QString found = quenlo::applicationPath(executable, mac ? PlatformTable::OS::Mac : PlatformTable::OS::Linux);
        QCOMPARE(found, application);
        QCOMPARE(folderHolding(found), beside);
    }
};

QTEST_GUILESS_MAIN(TestProjectRoot)
#include "tst_projectroot.moc"
