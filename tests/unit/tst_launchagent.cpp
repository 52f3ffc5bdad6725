#include "app/processvalues.h"
#include "service/agentplist.h"
#include "service/desktopentry.h"
#include "service/launchagent.h"

#include "agentread.h"
#include "testenv.h"

#include <QFile>
#include <QStandardPaths>
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

QString uid()
{
    return QString::number(::getuid());
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

/// A stand-in for launchctl: records each call as one line of NUL-separated arguments,
/// prints something and exits with \a status, as a refusing launchd would.
QString writeFakeLaunchctl(const QString &folder, int status = 0)
{
    const QString script = folder + QStringLiteral("/launchctl");
    const QString log = folder + QStringLiteral("/launchctl.log");
    const QByteArray body = "#!/bin/sh\n"
                            "{ printf 'call'; for a in \"$@\"; do printf '\\0%s' \"$a\"; done; printf '\\n'; } >> '"
        + QFile::encodeName(log)
        + "'\n"
          "echo 'Bootstrap failed: 5: Input/output error'\n"
          "exit "
        + QByteArray::number(status) + "\n";
    writeFile(script, body);
    QFile::setPermissions(script, QFile::permissions(script) | QFileDevice::ExeOwner);
    return script;
}

/// The calls the fake launchctl in \a folder received, oldest first.
QList<QStringList> launchctlCalls(const QString &folder)
{
    QList<QStringList> calls;
    QFile log(folder + QStringLiteral("/launchctl.log"));
    if (!log.open(QIODevice::ReadOnly))
        return calls;
    for (const QByteArray &line : log.readAll().split('\n')) {
        if (line.isEmpty())
            continue;
        QStringList arguments;
        const QList<QByteArray> parts = line.split('\0');
        for (qsizetype i = 1; i < parts.size(); ++i)
            arguments.append(QString::fromUtf8(parts.at(i)));
        calls.append(arguments);
    }
    return calls;
}

/// A table for \a mac or Linux whose folders lie in a new scratch folder and whose service
/// manager is the fake launchctl there.
PlatformTable scratchTable(bool mac, QString *folder, int launchctlStatus = 0)
{
    *folder = makeFolder(mac ? QStringLiteral("mac") : QStringLiteral("linux"));
    PlatformTable table
        = mac ? macPlatform(*folder + QStringLiteral("/home")) : linuxPlatform(*folder + QStringLiteral("/config"));
    table.serviceManager = writeFakeLaunchctl(*folder, launchctlStatus);
    return table;
}

} // namespace

class TestLaunchAgent final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void location_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("expected");
        QTest::newRow("macOS") << true << "/Users/u"
                               << "/Users/u/Library/LaunchAgents/local.library.menubar.plist";
        QTest::newRow("Linux") << false << "/home/u/.config"
                               << "/home/u/.config/autostart/local.library.menubar.desktop";
    }
    void location()
    {
        QFETCH(bool, mac);
        QFETCH(QString, base);
        QFETCH(QString, expected);
        QCOMPARE(launchAgentURL(mac ? macPlatform(base) : linuxPlatform(base)), expected);
    }

    void enable_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<int>("launchctlStatus");
        QTest::newRow("macOS") << true << 0;
        QTest::newRow("macOS, launchd refuses") << true << 5;
        QTest::newRow("Linux") << false << 0;
    }
    void enable()
    {
        QFETCH(bool, mac);
        QFETCH(int, launchctlStatus);
        QString folder;
        const PlatformTable table = scratchTable(mac, &folder, launchctlStatus);
        const QString appPath = mac ? QStringLiteral("/Applications/本地 Quenlo & Co.app")
                                    : QStringLiteral("/opt/my apps/quenlo-menubar");
        QVERIFY(!QFileInfo::exists(table.launchAgentFolder));
        QVERIFY(!launchAgentEnabled(table));

        QCOMPARE(orNone(enableLaunchAgent(appPath, table)), none);

        const QString path = launchAgentURL(table);
        QVERIFY(QFileInfo(path).isFile());
        QVERIFY(launchAgentEnabled(table));
        QCOMPARE(orNone(checkLaunchAgentFile(path, appPath, table)), none);
        // launchd ignores agents that others may write to.
        QVERIFY(!(QFile::permissions(path) & (QFileDevice::WriteGroup | QFileDevice::WriteOther)));
        if (mac) {
            QVERIFY(!plist_is_binary(readAll(path).constData(), uint32_t(readAll(path).size())));
            QCOMPARE(readPlist(readAll(path))->arguments.value(2), appPath);
            QCOMPARE(launchctlCalls(folder), (QList<QStringList> { { "bootstrap", "gui/" + uid(), path } }));
        } else {
            QCOMPARE(launchctlCalls(folder), QList<QStringList> {});
        }
    }

    void enableTwice_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::newRow("macOS") << true;
        QTest::newRow("Linux") << false;
    }
    void enableTwice()
    {
        QFETCH(bool, mac);
        QString folder;
        const PlatformTable table = scratchTable(mac, &folder);
        const QString first = mac ? QStringLiteral("/Applications/Old.app") : QStringLiteral("/opt/old/q");
        const QString second
            = mac ? QStringLiteral("/Applications/New Place/Q.app") : QStringLiteral("/opt/new place/q");
        QCOMPARE(orNone(enableLaunchAgent(first, table)), none);
        QCOMPARE(orNone(enableLaunchAgent(second, table)), none);

        const QString path = launchAgentURL(table);
        QCOMPARE(orNone(checkLaunchAgentFile(path, second, table)), none);
        if (mac)
            QCOMPARE(readPlist(readAll(path))->arguments.value(2), second);
        else
            QCOMPARE(orNone(checkLaunchAgentFile(path, first, table)), corruptAutostartText);
        // Replaced in place: no temporary file is left beside it.
        QCOMPARE(QDir(table.launchAgentFolder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList { QFileInfo(path).fileName() });
        QCOMPARE(launchctlCalls(folder).size(), mac ? 2 : 0);
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
        const QList<QStringList> calls = launchctlCalls(folder).mid(callsBefore);
        if (mac)
            QCOMPARE(calls, (QList<QStringList> { { "bootout", "gui/" + uid() + "/local.library.menubar" } }));
        else
            QCOMPARE(calls, QList<QStringList> {});
    }

    void enableFails_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("obstacle");
        // Chosen to fail for root too, where permission bits stop nothing.
        QTest::newRow("macOS, a file where a parent folder belongs") << true << "parent is a file";
        QTest::newRow("macOS, a folder where the file belongs") << true << "agent is a folder";
        QTest::newRow("Linux, a file where a parent folder belongs") << false << "parent is a file";
        QTest::newRow("Linux, a folder where the file belongs") << false << "agent is a folder";
    }
    void enableFails()
    {
        QFETCH(bool, mac);
        QFETCH(QString, obstacle);
        QString folder;
        PlatformTable table = scratchTable(mac, &folder);
        if (obstacle == QStringLiteral("parent is a file")) {
            QVERIFY(writeFile(folder + QStringLiteral("/plain-file"), "x"));
            table.launchAgentFolder = folder + QStringLiteral("/plain-file/LaunchAgents");
        } else {
            QVERIFY(QDir().mkpath(launchAgentURL(table) + QStringLiteral("/inside")));
        }
        const QString appPath = QStringLiteral("/Applications/Q.app");

        const std::optional<QString> reason = writeLaunchAgent(launchAgentURL(table), appPath, table);
        QVERIFY(reason.has_value());
        QVERIFY(!reason->isEmpty());

        QCOMPARE(orNone(enableLaunchAgent(appPath, table)), launchAgentWriteFailed);
        QCOMPARE(launchctlCalls(folder), QList<QStringList> {});
        QVERIFY(!QFileInfo(launchAgentURL(table)).isFile());
    }

    void disableFails_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::newRow("macOS") << true;
        QTest::newRow("Linux") << false;
    }
    void disableFails()
    {
        QFETCH(bool, mac);
        QString folder;
        const PlatformTable table = scratchTable(mac, &folder);
        // A non-empty folder at the file's place cannot be deleted as a file, even by root.
        QVERIFY(QDir().mkpath(launchAgentURL(table) + QStringLiteral("/inside")));

        QCOMPARE(orNone(disableLaunchAgent(table)), launchAgentDeleteFailed);

        QVERIFY(launchAgentEnabled(table));
        QCOMPARE(launchctlCalls(folder).size(), mac ? 1 : 0);
    }

    // --- Reading back, as the self-test does ---

    void selfTestRoundTrip_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("appPath");
        QTest::newRow("macOS") << true << "/Applications/本地 Quenlo \"&<\".app";
        QTest::newRow("Linux") << false << "/home/u/$x `y` \\z \"q\"/quenlo-menubar";
    }
    void selfTestRoundTrip()
    {
        QFETCH(bool, mac);
        QFETCH(QString, appPath);
        QString folder;
        const PlatformTable table = scratchTable(mac, &folder);
        const QString path = QDir::tempPath() + QStringLiteral("/menubar-selftest-")
            + QString::number(QCoreApplication::applicationPid()) + table.launchAgentExtension;
        QCOMPARE(orNone(writeLaunchAgent(path, appPath, table)), none);
        QCOMPARE(orNone(checkLaunchAgentFile(path, appPath, table)), none);
        QVERIFY(QFile::remove(path));
        QVERIFY(!QFileInfo::exists(table.launchAgentFolder));
        QCOMPARE(launchctlCalls(folder), QList<QStringList> {});
    }

    void checkFile_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("expected"); // "corrupt", "system" (the system's text) or "<none>"
        for (const bool mac : { true, false }) {
            const QString os = mac ? QStringLiteral("macOS, ") : QStringLiteral("Linux, ");
            QTest::newRow(qPrintable(os + "garbage")) << mac << "garbage"
                                                      << "corrupt";
            QTest::newRow(qPrintable(os + "the other platform's file")) << mac << "other"
                                                                        << "corrupt";
            QTest::newRow(qPrintable(os + "over the size limit")) << mac << "huge"
                                                                  << "corrupt";
            QTest::newRow(qPrintable(os + "a folder")) << mac << "folder"
                                                       << "corrupt";
            QTest::newRow(qPrintable(os + "a FIFO, never opened")) << mac << "fifo"
                                                                   << "corrupt";
            QTest::newRow(qPrintable(os + "missing")) << mac << "missing"
                                                      << "system";
        }
    }
    void checkFile()
    {
        QFETCH(bool, mac);
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        QString folder;
        QString otherFolder;
        const PlatformTable table = scratchTable(mac, &folder);
        const PlatformTable other = scratchTable(!mac, &otherFolder);
        const QString appPath = QStringLiteral("/opt/q/quenlo-menubar");
        const QString path = folder + QStringLiteral("/agent");
        if (kind == QStringLiteral("garbage"))
            QVERIFY(writeFile(path, QByteArray("\x00\x01garbage\xff", 11)));
        else if (kind == QStringLiteral("other"))
            QCOMPARE(orNone(writeLaunchAgent(path, appPath, other)), none);
        else if (kind == QStringLiteral("huge"))
            QVERIFY(writeFile(path, *launchAgentContent(appPath, table) + QByteArray(launchAgentFileLimit, '\n')));
        else if (kind == QStringLiteral("folder"))
            QVERIFY(QDir().mkpath(path));
        else if (kind == QStringLiteral("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);

        const QString corrupt = mac ? corruptPlistText : corruptAutostartText;
        const QString result = orNone(checkLaunchAgentFile(path, appPath, table));
        if (expected == QStringLiteral("system")) {
            QVERIFY(result != none && result != corrupt && !result.isEmpty());
            QVERIFY2(result.contains(QStringLiteral("No such file")), qPrintable(result));
        } else {
            QCOMPARE(result, expected == QStringLiteral("corrupt") ? corrupt : none);
        }
    }

    void unwritablePath_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::newRow("macOS") << true;
        QTest::newRow("Linux") << false;
    }
    void unwritablePath()
    {
        QFETCH(bool, mac);
        QString folder;
        const PlatformTable table = scratchTable(mac, &folder);
        const QString path = folder + QStringLiteral("/agent");
        QVERIFY(writeLaunchAgent(path, QStringLiteral("/opt/q\x01/q"), table).has_value());
        QVERIFY(!QFileInfo::exists(path));
        QCOMPARE(orNone(enableLaunchAgent(QStringLiteral("/opt/q\x01/q"), table)), launchAgentWriteFailed);
    }
};

QTEST_GUILESS_MAIN(TestLaunchAgent)
#include "tst_launchagent.moc"
