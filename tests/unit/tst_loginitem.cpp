// Launch at login on both platforms: the entry and the agent written and read back, and switched with a fake launchctl.
#include "service/agentplist.h"
#include "service/desktopentry.h"
#include "service/launchagent.h"

#include "scripttools.h"
#include "testenv.h"

#include <QtTest>

#include <unistd.h>

using namespace quenlo;
using namespace quenlo::test;

static const QString none = QStringLiteral("<none>"), app = QStringLiteral("/A & <B>\t\n\r.app");
// What is written for app on each platform.
static const QByteArray entry = "[Desktop Entry]\nType=Application\nName=本地Quenlo\nComment=本地Quenlo 的托盘助手\n"
                                "Exec=\"/A & <B>\\t\\n\\r.app\"\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
static const QByteArray agent
    = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n<dict>\n"
      "\t<key>Label</key>\n\t<string>local.library.menubar</string>\n\t<key>ProgramArguments</key>\n"
      "\t<array>\n\t\t<string>/usr/bin/open</string>\n\t\t<string>-a</string>\n"
      "\t\t<string>/A &amp; &lt;B&gt;\t\n\r.app</string>\n\t</array>\n\t<key>RunAtLoad</key>\n"
      "\t<true/>\n</dict>\n</plist>\n";

class TestLoginItem final : public QObject {
    Q_OBJECT
    static QString orNone(const std::optional<QString> &value) { return value.value_or(none); }

private Q_SLOTS:
    void exec_data()
    {
        QTest::addColumn<QString>("value"); // as in the file
        QTest::addColumn<QStringList>("arguments"); // {"<invalid>"}: nothing
        QTest::addColumn<bool>("written"); // what execArgument() gives for the one argument
        const auto row = [](const char *name, const char *value, const QStringList &arguments, bool written = false) {
            QTest::newRow(name) << QString::fromUtf8(value) << arguments << written;
        };
        row("written: spaces, single quote", "\"/o/my app's/q\"", { "/o/my app's/q" }, true);
        row("written: quote, backtick, dollar, backslash", "\"/\\\\\"\\\\`\\\\$\\\\\\\\\"", { "/\"`$\\" }, true);
        row("written: percent signs", R"("/%%f %%%%U")", { "/%f %%U" }, true);
        row("written: line feed, tab, carriage return", R"("/a\nb\tc\rd")", { "/a\nb\tc\rd" }, true);
        row("field code kept, blanks, lone backslash", "  q  %U \\", { "q", "%U", "\\" });
        row("double quotes", "\"/a b\"c \"\\\\$\\\\`\\\\\"\\\\\\\\\" \"\\$\\q\" \"\"",
            { "/a bc", "$`\"\\", "$\\q", "" });
        row("single quotes", "'/a \"\\\\$' 'x'", { "/a \"\\$", "x" });
        row("value escapes", R"(a\sb\tc\nd "e\sf\rg")", { "a", "b", "c", "d", "e f\rg" });
        row("unquoted backslashes", R"(/a\\\\ b\\x \ /q\\y)", { "/a\\", "bx", " /qy" });
        row("percent signs", R"(100%% '%%' "%%" % a%%)", { "100%", "%", "%", "%", "a%" });
        row("open double quote", "\"/a b\\", { "<invalid>" });
        row("open single quote", "'/a%", { "<invalid>" });
    }
    void exec()
    {
        QFETCH(QString, value);
        QFETCH(QStringList, arguments);
        QCOMPARE(parseExecValue(value).value_or(QStringList { QStringLiteral("<invalid>") }), arguments);
        QFETCH(bool, written);
        if (written) {
            QCOMPARE(execArgument(arguments.first()), value);
            QCOMPARE(orNone(checkAutostartEntry(autostartDesktopEntry(arguments.first()), arguments.first())), none);
        }
    }

    void check_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("good");
        const auto e = [](const char *from, const QByteArray &to) { return QByteArray(entry).replace(from, to); };
        const auto p = [](const char *from, const QByteArray &to) { return QByteArray(agent).replace(from, to); };
        const auto row = [](const QByteArray &name, bool mac, const QByteArray &bytes, bool good) {
            QTest::newRow(name.constData()) << mac << bytes << good;
        };
        row("entry: comments, blanks, CRLF", false, "# x\n\n " + e("\n", "\r\n").replace("Type=", " Type = "), true);
        row("entry: key characters, later groups", false,
            entry + "Name[x]=q\nAZaz09-=1\nHidden=false\n[A]\nExec=x\nExec=y\n[A B]\nk=v\n", true);
        using Edit = std::pair<const char *, const char *>; // each keeps the entry from starting the program
        for (const auto &[from, to] :
            { Edit("=Application", "=Link"), { "Exec=", "X-Exec=" }, { ".app\"", ".ap\"" }, { ".app\"", ".app" },
                { "\"/A & <B>\\t\\n\\r.app\"", "" }, { "=true", "=false" }, { "Terminal", "Hidden=true\nTerminal" },
                { "[Desktop", "[A]\n[Desktop" }, { "[Desktop", "k=v\n[Desktop" } })
            row(QByteArray("entry: ") + from + " -> " + QByteArray(to).replace('\n', ' '), false, e(from, to), false);
        for (const QByteArray line : { "[A]\n[A]", "Type=x", "q", "[]", "[A]]", "[A", "=v", "a_b=v", "Name[]=v",
                 "Name[ab]]=v", "Name[a=v", "K=\xff", "K=\1" }) // \1 stands for NUL
            row("entry, then " + QByteArray(line).replace('\n', ' '), false,
                entry + QByteArray(line).replace('\1', '\0'), false);
        row("agent as written", true, agent, true);
        row("agent: not a property list", true, "garbage", false);
        row("agent: label with a suffix", true, p("menubar<", "menubar.x<"), false);
        row("agent: label not a string", true, p("<string>local.library.menubar</string>", "<true/>"), false);
        row("agent: arguments empty", true, p("<array>", "<array/><key>x</key><array>"), false);
        row("agent: arguments start elsewhere", true, p("/usr/bin/open<", "/usr/bin/ope<"), false);
        row("agent: a number among arguments", true, p("<string>-a</string>", "<integer>1</integer>"), false);
        row("agent: RunAtLoad false", true, p("<true/>", "<false/>"), false);
    }
    void check()
    {
        QFETCH(bool, mac);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, good);
        const QString corrupt = mac ? corruptPlistText : corruptAutostartText;
        QCOMPARE(orNone(mac ? checkAgentPlist(bytes, bytes.size()) : checkAutostartEntry(bytes, app)),
            good ? none : corrupt);
        if (mac) // one byte more than allowed
            QCOMPARE(orNone(checkAgentPlist(bytes, bytes.size() - 1)), corruptPlistText);
    }

    void switching()
    {
        for (const bool mac : { true, false }) {
            const QString folder = makeFolder(QStringLiteral("s")), log = folder + QStringLiteral("/log");
            PlatformTable t = mac ? macPlatform(folder) : linuxPlatform(folder);
            t.serviceManager = folder + QStringLiteral("/launchctl"); // refuses, which changes nothing
            QVERIFY(writeScript(t.serviceManager, "echo \"$@\" >> " + shellQuoted(log) + "\nexit 5\n"));
            const QString file = launchAgentURL(t), corrupt = mac ? corruptPlistText : corruptAutostartText;
            QCOMPARE(t.launchAgentExtension, mac ? ".plist" : ".desktop");
            QCOMPARE(file,
                folder + (mac ? "/Library/LaunchAgents/" : "/autostart/") + "local.library.menubar"
                    + t.launchAgentExtension);
            QCOMPARE(orNone(checkLaunchAgentFile(file, app, t)), QStringLiteral("No such file or directory"));
            QCOMPARE(
                orNone(enableLaunchAgent(QStringLiteral("/q\x1f"), t)), launchAgentWriteFailed); // and nothing loaded
            QVERIFY(!launchAgentEnabled(t));
            QCOMPARE(orNone(enableLaunchAgent(app, t)), none);
            QVERIFY(launchAgentEnabled(t));
            QCOMPARE(readAll(file), mac ? agent : entry);
            QCOMPARE(orNone(checkLaunchAgentFile(file, app, t)), none);
            QCOMPARE(orNone(disableLaunchAgent(t)), none);
            QCOMPARE(orNone(disableLaunchAgent(t)), none); // nothing there is off too
            QVERIFY(!launchAgentEnabled(t));
            QVERIFY(QDir().mkpath(file + QStringLiteral("/x"))); // can be neither replaced nor deleted
            QCOMPARE(orNone(enableLaunchAgent(app, t)), launchAgentWriteFailed);
            QCOMPARE(orNone(disableLaunchAgent(t)), launchAgentDeleteFailed);
            QCOMPARE(orNone(checkLaunchAgentFile(file, app, t)), corrupt);
            const QString gui = QStringLiteral("gui/") + QString::number(::getuid()),
                          off = "bootout " + gui + "/local.library.menubar\n";
            QCOMPARE(QString::fromUtf8(readAll(log)),
                mac ? "bootstrap " + gui + ' ' + file + '\n' + off + off + off : QString());
        }
    }
};

QTEST_GUILESS_MAIN(TestLoginItem)
#include "tst_loginitem.moc"
