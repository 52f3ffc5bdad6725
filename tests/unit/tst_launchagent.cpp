// Launch at login on both platforms' tables, in scratch folders with a fake launchctl:
// where the file goes, switching on and off, failures, reading a file back, and the launchd
// property list itself as libplist reads it.

#include "model/identity.h"
#include "service/agentplist.h"
#include "service/desktopentry.h"
#include "service/launchagent.h"

#include "agentread.h"
#include "scripttools.h"
#include "testenv.h"

#include <QFile>
#include <QThread>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace quenlo;
using namespace quenlo::test;

namespace {

const QString none = QStringLiteral("<none>");
QString orNone(const std::optional<QString> &value)
{
    return value.value_or(none);
}

QString gui()
{
    return QStringLiteral("gui/") + QString::number(::getuid());
}

/// The calls the fake launchctl in \a folder received, oldest first.
QList<QStringList> launchctlCalls(const QString &folder)
{
    QList<QStringList> calls;
    for (const QByteArray &line : readAll(folder + QStringLiteral("/launchctl.log")).split('\n')) {
        if (!line.isEmpty())
            calls.append(QString::fromUtf8(line).split(QChar(0)).mid(1));
    }
    return calls;
}

/// A table for \a mac or Linux whose folders lie in a new scratch folder and whose service
/// manager is a fake launchctl there: it records each call as one line of NUL-separated
/// arguments, prints something and exits with \a status, as a refusing launchd would.
PlatformTable scratchTable(bool mac, QString *folder, int launchctlStatus = 0)
{
    *folder = makeFolder(mac ? QStringLiteral("mac") : QStringLiteral("linux"));
    PlatformTable table
        = mac ? macPlatform(*folder + QStringLiteral("/home")) : linuxPlatform(*folder + QStringLiteral("/config"));
    table.serviceManager = *folder + QStringLiteral("/launchctl");
    writeScript(table.serviceManager,
        "{ printf 'call'; for a in \"$@\"; do printf '\\0%s' \"$a\"; done; printf '\\n'; } >> "
            + shellQuoted(*folder + QStringLiteral("/launchctl.log"))
            + "\necho 'Bootstrap failed: 5: Input/output error'\nexit " + QByteArray::number(launchctlStatus) + "\n");
    return table;
}

QByteArray agentDict(const QByteArray &label, const QByteArray &arguments, const QByteArray &runAtLoad,
    const QByteArray &extra = {})
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>" + label + arguments
        + runAtLoad + extra + "</dict>\n</plist>\n";
}
const QByteArray goodLabel = "<key>Label</key><string>local.library.menubar</string>";
const QByteArray goodArguments = "<key>ProgramArguments</key><array><string>/usr/bin/open</string>"
                                 "<string>-a</string><string>/Applications/Q.app</string></array>";
const QByteArray goodRun = "<key>RunAtLoad</key><true/>";

QByteArray binaryPlist(plist_t node)
{
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bytes, &length);
    const QByteArray out(bytes, qsizetype(length));
    plist_to_bin_free(bytes);
    return out;
}

/// Arrays nested \a depth deep in binary form: about five bytes a level.
QByteArray deepBinaryPlist(int depth)
{
    Plist root(plist_new_array());
    plist_t current = root.get();
    for (int i = 0; i < depth; ++i) {
        plist_t inner = plist_new_array();
        plist_array_append_item(current, inner);
        current = inner;
    }
    return binaryPlist(root.get());
}

} // namespace

class TestLaunchAgent final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void location()
    {
        QCOMPARE(launchAgentURL(macPlatform(QStringLiteral("/Users/u"))),
            QStringLiteral("/Users/u/Library/LaunchAgents/local.library.menubar.plist"));
        QCOMPARE(launchAgentURL(linuxPlatform(QStringLiteral("/home/u/.config"))),
            QStringLiteral("/home/u/.config/autostart/local.library.menubar.desktop"));
    }

    void enable_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<int>("launchctlStatus");
        QTest::addColumn<QString>("earlier"); // an application enabled before; empty: none
        QTest::newRow("macOS") << true << 0 << QString();
        QTest::newRow("macOS, launchd refuses") << true << 5 << QString();
        QTest::newRow("macOS, replacing another") << true << 0 << QStringLiteral("/Applications/Old.app");
        QTest::newRow("Linux") << false << 0 << QString();
        QTest::newRow("Linux, replacing another") << false << 0 << QStringLiteral("/opt/old/q");
    }
    void enable()
    {
        QFETCH(bool, mac);
        QFETCH(int, launchctlStatus);
        QFETCH(QString, earlier);
        QString folder;
        const PlatformTable table = scratchTable(mac, &folder, launchctlStatus);
        const QString appPath = mac ? QStringLiteral("/Applications/本地 Quenlo & Co.app")
                                    : QStringLiteral("/opt/my apps/quenlo-menubar");
        QVERIFY(!QFileInfo::exists(table.launchAgentFolder));
        QVERIFY(!launchAgentEnabled(table));
        if (!earlier.isEmpty())
            QCOMPARE(orNone(enableLaunchAgent(earlier, table)), none);

        QCOMPARE(orNone(enableLaunchAgent(appPath, table)), none);

        const QString path = launchAgentURL(table);
        QVERIFY(launchAgentEnabled(table));
        QCOMPARE(orNone(checkLaunchAgentFile(path, appPath, table)), none);
        // launchd ignores agents that others may write to.
        QVERIFY(!(QFile::permissions(path) & (QFileDevice::WriteGroup | QFileDevice::WriteOther)));
        // Replaced in place: no temporary file is left beside it.
        QCOMPARE(QDir(table.launchAgentFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList { QFileInfo(path).fileName() });
        QList<QStringList> loads;
        if (mac) {
            QCOMPARE(readPlist(readAll(path))->arguments.value(2), appPath);
            loads = QList<QStringList>(earlier.isEmpty() ? 1 : 2, { "bootstrap", gui(), path });
        } else if (!earlier.isEmpty()) {
            QCOMPARE(orNone(checkLaunchAgentFile(path, earlier, table)), corruptAutostartText);
        }
        QCOMPARE(launchctlCalls(folder), loads);
    }

    void disable_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<bool>("enabledBefore");
        QTest::newRow("macOS, switched on") << true << true;
        QTest::newRow("macOS, no file") << true << false;
        QTest::newRow("Linux, switched on") << false << true;
        QTest::newRow("Linux, no file") << false << false;
    }
    void disable()
    {
        QFETCH(bool, mac);
        QFETCH(bool, enabledBefore);
        QString folder;
        const PlatformTable table = scratchTable(mac, &folder);
        if (enabledBefore)
            QCOMPARE(orNone(enableLaunchAgent(QStringLiteral("/Applications/Q.app"), table)), none);
        const qsizetype callsBefore = launchctlCalls(folder).size();

        QCOMPARE(orNone(disableLaunchAgent(table)), none);

        QVERIFY(!QFileInfo::exists(launchAgentURL(table)));
        QVERIFY(!launchAgentEnabled(table));
        const QList<QStringList> unload { { "bootout", gui() + "/local.library.menubar" } };
        QCOMPARE(launchctlCalls(folder).mid(callsBefore), mac ? unload : QList<QStringList>());
    }

    void failures_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("obstacle");
        // Chosen to fail for root too, where permission bits stop nothing.
        QTest::newRow("macOS, a file where a parent folder belongs") << true << "parent is a file";
        QTest::newRow("Linux, a folder where the file belongs") << false << "agent is a folder";
        QTest::newRow("macOS, a control character in the path") << true << "control character";
        QTest::newRow("Linux, a control character in the path") << false << "control character";
        QTest::newRow("macOS, a folder that cannot be deleted") << true << "undeletable";
        QTest::newRow("Linux, a folder that cannot be deleted") << false << "undeletable";
    }
    void failures()
    {
        QFETCH(bool, mac);
        QFETCH(QString, obstacle);
        QString folder;
        PlatformTable table = scratchTable(mac, &folder);
        QString appPath = QStringLiteral("/Applications/Q.app");
        if (obstacle == QStringLiteral("parent is a file")) {
            QVERIFY(writeFile(folder + QStringLiteral("/plain-file"), "x"));
            table.launchAgentFolder = folder + QStringLiteral("/plain-file/LaunchAgents");
        } else if (obstacle == QStringLiteral("control character")) {
            appPath = QStringLiteral("/opt/q\x01/q");
        } else {
            // A non-empty folder at the file's place can be neither replaced nor deleted.
            QVERIFY(QDir().mkpath(launchAgentURL(table) + QStringLiteral("/inside")));
        }

        if (obstacle == QStringLiteral("undeletable")) {
            QCOMPARE(orNone(disableLaunchAgent(table)), launchAgentDeleteFailed);
            QVERIFY(launchAgentEnabled(table));
            QCOMPARE(launchctlCalls(folder).size(), mac ? 1 : 0);
            return;
        }
        const std::optional<QString> reason = writeLaunchAgent(launchAgentURL(table), appPath, table);
        QVERIFY(reason.has_value() && !reason->isEmpty());
        QCOMPARE(orNone(enableLaunchAgent(appPath, table)), launchAgentWriteFailed);
        // Nothing is loaded when nothing was written.
        QCOMPARE(launchctlCalls(folder), QList<QStringList> {});
        QVERIFY(!QFileInfo(launchAgentURL(table)).isFile());
    }

    void checkFile_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("kind");
        for (const bool mac : { true, false }) {
            const QString os = mac ? QStringLiteral("macOS, ") : QStringLiteral("Linux, ");
            for (const char *kind : { "garbage", "the other platform's file", "over the size limit", "a folder",
                     "a FIFO, never opened", "missing" })
                QTest::newRow(qPrintable(os + QLatin1String(kind))) << mac << QString::fromLatin1(kind);
        }
    }
    void checkFile()
    {
        QFETCH(bool, mac);
        QFETCH(QString, kind);
        QString folder;
        QString otherFolder;
        const PlatformTable table = scratchTable(mac, &folder);
        const PlatformTable other = scratchTable(!mac, &otherFolder);
        const QString appPath = QStringLiteral("/opt/q/quenlo-menubar");
        const QString path = folder + QStringLiteral("/agent");
        if (kind == QStringLiteral("garbage"))
            QVERIFY(writeFile(path, QByteArray("\x00\x01garbage\xff", 11)));
        else if (kind.startsWith(QStringLiteral("the other")))
            QCOMPARE(orNone(writeLaunchAgent(path, appPath, other)), none);
        else if (kind.startsWith(QStringLiteral("over")))
            QVERIFY(writeFile(path, *launchAgentContent(appPath, table) + QByteArray(launchAgentFileLimit, '\n')));
        else if (kind == QStringLiteral("a folder"))
            QVERIFY(QDir().mkpath(path));
        else if (kind.startsWith(QStringLiteral("a FIFO")))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);

        const QString result = orNone(checkLaunchAgentFile(path, appPath, table));
        if (kind == QStringLiteral("missing"))
            QVERIFY2(result.contains(QStringLiteral("No such file")), qPrintable(result));
        else
            QCOMPARE(result, mac ? corruptPlistText : corruptAutostartText);
    }

    void plistContent_data()
    {
        QTest::addColumn<QString>("appPath");
        QTest::newRow("spaces and Chinese") << "/Applications/My Apps/本地 Quenlo.app";
        QTest::newRow("markup: ampersand, angle brackets, quotes, CDATA end, entities")
            << "/Apps/A & B <x> </string> \"d\" 's' ]]> &amp; &#60;.app";
        QTest::newRow("line feed, tab, dollar, backslash") << "/Apps/two\nlines\tand $HOME \\n.app";
    }
    void plistContent()
    {
        QFETCH(QString, appPath);
        const std::optional<QByteArray> bytes = launchAgentContent(appPath, macPlatform(scratchDir()));
        QVERIFY(bytes.has_value());
        QVERIFY(bytes->startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>") && bytes->contains("<plist version=\"1.0\">"));
        QVERIFY(!plist_is_binary(bytes->constData(), uint32_t(bytes->size())));
        const std::optional<PlistRead> read = readPlist(*bytes);
        QVERIFY(read.has_value() && read->argumentsAllStrings);
        QCOMPARE(read->keys, (QStringList { "Label", "ProgramArguments", "RunAtLoad" }));
        QCOMPARE(read->label, launchAgentLabel);
        QCOMPARE(read->arguments, (QStringList { "/usr/bin/open", "-a", appPath }));
        QCOMPARE(read->runAtLoad, std::optional<bool>(true));
    }

    void plistCheck_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("good");
        const auto args = [](const QByteArray &items) { return "<key>ProgramArguments</key><array>" + items + "</array>"; };
        const auto run = [](const QByteArray &value) { return "<key>RunAtLoad</key>" + value; };
        const QByteArray nested = QByteArray("<array>").repeated(9000) + QByteArray("</array>").repeated(9000);
        QTest::newRow("what is written") << plistXML(launchAgentPlist("/Applications/Q.app").get()) << true;
        QTest::newRow("binary form") << binaryPlist(launchAgentPlist("/Applications/Q.app").get()) << true;
        QTest::newRow("a fourth key") << agentDict(goodLabel, goodArguments, goodRun, "<key>KeepAlive</key><true/>") << true;
        QTest::newRow("open alone") << agentDict(goodLabel, args("<string>/usr/bin/open</string>"), goodRun) << true;
        QTest::newRow("not a property list") << QByteArray("garbage") << false;
        QTest::newRow("truncated") << agentDict(goodLabel, goodArguments, goodRun).left(150) << false;
        QTest::newRow("label with a suffix")
            << agentDict("<key>Label</key><string>local.library.menubar.x</string>", goodArguments, goodRun) << false;
        QTest::newRow("no label") << agentDict("", goodArguments, goodRun) << false;
        QTest::newRow("arguments empty") << agentDict(goodLabel, args(""), goodRun) << false;
        QTest::newRow("arguments start elsewhere") << agentDict(goodLabel, args("<string>/Applications/Q.app</string>"), goodRun)
                                                   << false;
        QTest::newRow("arguments hold a number")
            << agentDict(goodLabel, args("<string>/usr/bin/open</string><integer>1</integer>"), goodRun) << false;
        QTest::newRow("RunAtLoad false") << agentDict(goodLabel, goodArguments, run("<false/>")) << false;
        QTest::newRow("RunAtLoad a string") << agentDict(goodLabel, goodArguments, run("<string>true</string>")) << false;
        QTest::newRow("no RunAtLoad") << agentDict(goodLabel, goodArguments, "") << false;
        QTest::newRow("deeply nested XML") << agentDict(goodLabel, goodArguments, goodRun, "<key>x</key>" + nested) << false;
        QTest::newRow("deeply nested binary") << deepBinaryPlist(12000) << false;
        QTest::newRow("over the size limit")
            << agentDict(goodLabel, goodArguments, goodRun, "<!--" + QByteArray(launchAgentFileLimit, ' ') + "-->") << false;
    }
    void plistCheck()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, good);
        // A 512 KiB stack, as on macOS's secondary threads: deep nesting must not overflow it.
        std::optional<QString> result = QStringLiteral("<not run>");
        std::unique_ptr<QThread> thread(QThread::create([&] { result = checkAgentPlist(bytes, launchAgentFileLimit); }));
        thread->setStackSize(512 * 1024);
        thread->start();
        thread->wait();
        QCOMPARE(orNone(result), good ? none : corruptPlistText);
    }
};

QTEST_GUILESS_MAIN(TestLaunchAgent)
#include "tst_launchagent.moc"
