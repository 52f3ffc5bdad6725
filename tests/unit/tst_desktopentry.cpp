#include "service/desktopentry.h"
#include "service/launchagent.h"

#include "scripttools.h"
#include "testenv.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

namespace {

const QString none = QStringLiteral("<none>");
QString orNone(const std::optional<QString> &value)
{
    return value.value_or(none);
}

const QByteArray exe = "/opt/quenlo/quenlo-menubar";

} // namespace

class TestDesktopEntry final : public QObject {
    Q_OBJECT
private Q_SLOTS:

    void execArgumentWritten_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("written");
        QTest::newRow("dollar") << "/a$b"
                                << "\"/a\\\\$b\"";
        QTest::newRow("backslash") << "/a\\b"
                                   << "\"/a\\\\\\\\b\"";
        QTest::newRow("double quote") << "/a\"b"
                                      << "\"/a\\\\\"b\"";
        QTest::newRow("percent") << "/100%"
                                 << "\"/100%%\"";
        QTest::newRow("line feed") << "/a\nb"
                                   << "\"/a\\nb\"";
        QTest::newRow("single quote") << "/a'b"
                                      << "\"/a'b\"";
    }
    void execArgumentWritten()
    {
        QFETCH(QString, argument);
        QFETCH(QString, written);
        QCOMPARE(execArgument(argument), written);
    }

    void execRoundTrip_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("spaces") << "/home/u/My Apps/quenlo menubar";
        QTest::newRow("backslashes") << "/home/u/back\\slash\\\\double/q";
        QTest::newRow("trailing backslash") << "/home/u/q\\";
        QTest::newRow("percent signs") << "/home/u/100%/%f %%U/q";
        QTest::newRow("escape look-alikes") << "/home/u/\\s\\n\\t\\\\/q";
        QTest::newRow("line feed, tab, carriage return") << "/home/u/a\nb\tc\rd/q";
        QTest::newRow("leading and trailing spaces") << " /home/u/q ";
        QTest::newRow("everything at once") << "/h o/\"'\\$`%\n\t&<>#;q";
    }
    void execRoundTrip()
    {
        QFETCH(QString, path);
        const QString written = execArgument(path);
        QVERIFY(!written.contains(QLatin1Char('\n')) && !written.contains(QLatin1Char('\t')));
        QCOMPARE(parseExecValue(written), std::optional<QStringList>(QStringList { path }));
        // The same through a whole entry, as checkLaunchAgentFile() reads it.
        const QByteArray bytes = autostartDesktopEntry(path);
        QCOMPARE(desktopEntryKeys(bytes)->value(QStringLiteral("Exec")), written);
        QCOMPARE(orNone(checkAutostartEntry(bytes, path)), none);
        QCOMPARE(orNone(checkAutostartEntry(bytes, path + QStringLiteral("x"))), corruptAutostartText);
    }

    void execParse_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("valid");
        QTest::newRow("field code after the program") << "quenlo %U" << QStringList { "quenlo", "%U" } << true;
        QTest::newRow("quoted program and options")
            << "\"/opt/My App/run\" --tray -v" << QStringList { "/opt/My App/run", "--tray", "-v" } << true;
        QTest::newRow("canonical dollar") << "\"/a\\\\$b\"" << QStringList { "/a$b" } << true;
        QTest::newRow("lenient dollar") << "\"/a\\$b\"" << QStringList { "/a$b" } << true;
        QTest::newRow("canonical backslash") << "\"/a\\\\\\\\b\"" << QStringList { "/a\\b" } << true;
        QTest::newRow("backslash before an ordinary character") << "\"/a\\\\qb\"" << QStringList { "/a\\qb" } << true;
        QTest::newRow("space escape splits") << "/a\\sb" << QStringList { "/a", "b" } << true;
        QTest::newRow("space escape quoted") << "\"/a\\sb\"" << QStringList { "/a b" } << true;
        QTest::newRow("single quotes") << "'/a b' c" << QStringList { "/a b", "c" } << true;
        QTest::newRow("quotes joined to text") << "/a\"b c\"d" << QStringList { "/ab cd" } << true;
        QTest::newRow("unquoted backslash escape") << "/a\\\\ b" << QStringList { "/a b" } << true;
        QTest::newRow("percent pair") << "100%% sure" << QStringList { "100%", "sure" } << true;
        QTest::newRow("empty value") << "" << QStringList {} << true;
        QTest::newRow("unterminated double quote") << "\"/a b" << QStringList {} << false;
        QTest::newRow("escaped closing quote") << "\"/a\\\\\"" << QStringList {} << false;
    }
    void execParse()
    {
        QFETCH(QString, value);
        QFETCH(QStringList, arguments);
        QFETCH(bool, valid);
        const std::optional<QStringList> parsed = parseExecValue(value);
        QCOMPARE(parsed.has_value(), valid);
        if (valid)
            QCOMPARE(*parsed, arguments);
    }

    void autostartCheck_data()
    {
        const QByteArray head = "[Desktop Entry]\nType=Application\nName=Q\n";
        const QByteArray exec = "Exec=\"" + exe + "\"\n";
        const QByteArray on = "X-GNOME-Autostart-enabled=true\n";
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("good");
        QTest::newRow("what is written") << autostartDesktopEntry(QString::fromUtf8(exe)) << true;
        QTest::newRow("hand-written") << head + exec + on << true;
        QTest::newRow("unquoted program with arguments") << head + "Exec=" + exe + " --tray %U\n" + on << true;
        QTest::newRow("comments, blanks, later groups")
            << "# written by hand\n\n" + head + "# note\n\n" + exec + on + "\n[Desktop Action Quit]\nExec=q\nExec=r\n"
            << true;
        QTest::newRow("CRLF line ends") << QByteArray(head + exec + on).replace("\n", "\r\n") << true;
        QTest::newRow("localized keys") << head + "Name[zh_CN]=本地Quenlo\n" + exec + on << true;
        QTest::newRow("Hidden false") << head + exec + on + "Hidden=false\n" << true;

        QTest::newRow("type Link") << "[Desktop Entry]\nType=Link\n" + exec + on << false;
        QTest::newRow("no Exec") << head + on << false;
        QTest::newRow("Exec starts another program") << head + "Exec=/usr/bin/other\n" + on << false;
        QTest::newRow("Exec quote unterminated") << head + "Exec=\"" + exe + "\n" + on << false;
        QTest::newRow("autostart switched off") << head + exec + "X-GNOME-Autostart-enabled=false\n" << false;
        QTest::newRow("hidden") << head + exec + on + "Hidden=true\n" << false;
        QTest::newRow("other first group") << "[Desktop Action x]\n" + head.mid(16) + exec + on << false;
        QTest::newRow("key twice") << head + exec + exec + on << false;
        QTest::newRow("line without equals sign") << head + "Exec " + exe + "\n" + on << false;
        QTest::newRow("unclosed group header") << "[Desktop Entry\nType=Application\n" + exec + on << false;
        QTest::newRow("invalid UTF-8") << head + exec + on + "Comment=\xff\xfe\n" << false;
        QTest::newRow("NUL byte") << head + exec + on + QByteArray(1, '\0') << false;
        QTest::newRow("a property list") << QByteArray("<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>"
                                                       "<key>Label</key><string>local.library.menubar</string>"
                                                       "</dict></plist>\n")
                                         << false;
    }
    void autostartCheck()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, good);
        QCOMPARE(orNone(checkAutostartEntry(bytes, QString::fromUtf8(exe))), good ? none : corruptAutostartText);
    }

    void autostartLaunchedByGLib_data()
    {
        QTest::addColumn<QString>("folderName");
        QTest::newRow("spaces, quotes, dollar and backticks") << "My \"double\" 'single' $HOME `id` ${x}";
        QTest::newRow("backslashes, shell specials, non-ASCII") << "back\\slash \\\\ \\s\\n &;|<>*?#()~! 本地";
        // No '%': GLib checks the program before expanding "%%", so it never finds such a path.
    }
    void autostartLaunchedByGLib()
    {
        // GLib's own launcher reads the entry the way a GNOME session does at login.
        const QString gio = QStandardPaths::findExecutable(QStringLiteral("gio"));
        if (gio.isEmpty())
            QSKIP("gio (GLib's launcher) is not installed");
        QFETCH(QString, folderName);
        const QString base = makeFolder(QStringLiteral("glib"));
        const QString program = base + QLatin1Char('/') + folderName + QStringLiteral("/quenlo menubar");
        const QString record = base + QStringLiteral("/record");
        QVERIFY(writeFile(program,
            "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$#\" > '" + QFile::encodeName(record) + "'.tmp && mv '"
                + QFile::encodeName(record) + "'.tmp '" + QFile::encodeName(record) + "'\n"));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner));
        const QString entryPath = base + QStringLiteral("/launched.desktop");
        QCOMPARE(orNone(writeLaunchAgent(entryPath, program, linuxPlatform(base))), none);

        QProcess launcher;
        launcher.start(gio, { QStringLiteral("launch"), entryPath });
        QVERIFY(launcher.waitForFinished(20000));
        QCOMPARE(launcher.exitCode(), 0);
        QVERIFY(waitUntil([&] { return QFileInfo::exists(record); }, std::chrono::seconds(10)));
        QCOMPARE(QString::fromUtf8(readAll(record)), program + QStringLiteral("|0"));
    }
};

QTEST_GUILESS_MAIN(TestDesktopEntry)
#include "tst_desktopentry.moc"
