#include "model/identity.h"
#include "service/agentplist.h"
#include "service/launchagent.h"

#include "agentread.h"
#include "testenv.h"

#include <QThread>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

namespace {

const QString none = QStringLiteral("<none>");
QString orNone(const std::optional<QString> &value)
{
    return value.value_or(none);
}

QByteArray agentXML(const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

QByteArray agentDict(const QByteArray &label, const QByteArray &arguments, const QByteArray &runAtLoad,
    const QByteArray &extra = QByteArray())
{
    return agentXML("<dict>" + label + arguments + runAtLoad + extra + "</dict>");
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
    QByteArray out(bytes, qsizetype(length));
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

/// Runs \a work on a thread with the 512 KiB stack that macOS gives secondary threads.
template <typename Work> void onSmallStack(Work work)
{
    std::unique_ptr<QThread> thread(QThread::create(work));
    thread->setStackSize(512 * 1024);
    thread->start();
    thread->wait();
}

} // namespace

class TestAgentPlist final : public QObject {
    Q_OBJECT
private Q_SLOTS:

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
        QVERIFY(bytes->startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
        QVERIFY(bytes->contains("<plist version=\"1.0\">"));
        QVERIFY(!plist_is_binary(bytes->constData(), uint32_t(bytes->size())));

        const std::optional<PlistRead> read = readPlist(*bytes);
        QVERIFY(read.has_value());
        QCOMPARE(read->keys, (QStringList { "Label", "ProgramArguments", "RunAtLoad" }));
        QCOMPARE(read->label, launchAgentLabel);
        QVERIFY(read->argumentsAllStrings);
        QCOMPARE(read->arguments, (QStringList { "/usr/bin/open", "-a", appPath }));
        QCOMPARE(read->runAtLoad, std::optional<bool>(true));
        QCOMPARE(orNone(checkAgentPlist(*bytes, launchAgentFileLimit)), none);
    }

    void plistCheck_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("good");
        QTest::newRow("what is written") << plistXML(launchAgentPlist("/Applications/Q.app").get()) << true;
        QTest::newRow("binary form") << binaryPlist(launchAgentPlist("/Applications/Q.app").get()) << true;
        QTest::newRow("a fourth key") << agentDict(goodLabel, goodArguments, goodRun, "<key>KeepAlive</key><true/>")
                                      << true;
        QTest::newRow("open alone") << agentDict(
            goodLabel, "<key>ProgramArguments</key><array><string>/usr/bin/open</string></array>", goodRun)
                                    << true;

        QTest::newRow("not a property list") << QByteArray("garbage") << false;
        QTest::newRow("JSON") << QByteArray("{\"Label\":\"local.library.menubar\"}") << false;
        QTest::newRow("truncated") << agentDict(goodLabel, goodArguments, goodRun).left(150) << false;
        QTest::newRow("other label") << agentDict("<key>Label</key><string>local.library.other</string>", goodArguments,
            goodRun) << false;
        QTest::newRow("label with a suffix")
            << agentDict("<key>Label</key><string>local.library.menubar.x</string>", goodArguments, goodRun) << false;
        QTest::newRow("no label") << agentDict("", goodArguments, goodRun) << false;
        QTest::newRow("arguments empty") << agentDict(goodLabel, "<key>ProgramArguments</key><array/>", goodRun)
                                         << false;
        QTest::newRow("arguments start elsewhere") << agentDict(goodLabel,
            "<key>ProgramArguments</key><array><string>/Applications/Q.app/Contents/MacOS/q</string>"
            "</array>",
            goodRun) << false;
        QTest::newRow("arguments hold a number") << agentDict(goodLabel,
            "<key>ProgramArguments</key><array><string>/usr/bin/open</string><integer>1</integer>"
            "</array>",
            goodRun) << false;
        QTest::newRow("no arguments") << agentDict(goodLabel, "", goodRun) << false;
        QTest::newRow("RunAtLoad false") << agentDict(goodLabel, goodArguments, "<key>RunAtLoad</key><false/>")
                                         << false;
        QTest::newRow("RunAtLoad a string")
            << agentDict(goodLabel, goodArguments, "<key>RunAtLoad</key><string>true</string>") << false;
        QTest::newRow("no RunAtLoad") << agentDict(goodLabel, goodArguments, "") << false;
        QTest::newRow("deeply nested XML")
            << agentXML(QByteArray("<array>").repeated(9000) + QByteArray("</array>").repeated(9000)) << false;
        QTest::newRow("deeply nested binary") << deepBinaryPlist(12000) << false;
        QTest::newRow("over the size limit")
            << agentDict(goodLabel, goodArguments, goodRun, "<!--" + QByteArray(launchAgentFileLimit, ' ') + "-->")
            << false;
    }
    void plistCheck()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, good);
        QVERIFY(bytes.size() <= launchAgentFileLimit || !good);
        // A 512 KiB stack, as on macOS's secondary threads: deep nesting must not overflow it.
        std::optional<QString> result = corruptPlistText + QStringLiteral("<not run>");
        onSmallStack([&] { result = checkAgentPlist(bytes, launchAgentFileLimit); });
        QCOMPARE(orNone(result), good ? none : corruptPlistText);
    }
};

QTEST_GUILESS_MAIN(TestAgentPlist)
#include "tst_agentplist.moc"
