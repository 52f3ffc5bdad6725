// The supervisor's dealings with other programs: runCapturing() with real children,
// killRunning() with a fake lsof naming real sleeping children, and the video tools check
// with fake interpreters and a recording shell.

#include "app/processvalues.h"
#include "fakehttpserver.h"
#include "net/httpcall.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/projectroot.h"
#include "service/runcapturing.h"
#include "service/service.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <memory>

#include <signal.h>
#include <unistd.h>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

namespace {

QString ownStandardInput()
{
    char target[4096];
    const ssize_t n = ::readlink("/proc/self/fd/0", target, sizeof target);
    return n > 0 ? QString::fromLocal8Bit(target, qsizetype(n)) : QString();
}

PlatformTable fakeTable(const QString &folder)
{
    PlatformTable table = linuxPlatform(folder);
    table.lsof = folder + QStringLiteral("/no-lsof");
    table.nohup = folder + QStringLiteral("/no-nohup");
    table.serviceManager = folder + QStringLiteral("/no-service-manager");
    table.videoToolsShell = folder + QStringLiteral("/no-shell");
    return table;
}

const QString buildCommand = QStringLiteral(
    "./runtime-python -m venv --clear .youtube-venv && .youtube-venv/bin/python -m pip install --quiet --upgrade pip"
    " && .youtube-venv/bin/python -m pip install --quiet --upgrade 'yt-dlp[default,curl-cffi]'");
const QStringList pythonProbe { QStringLiteral("-c"),
    QStringLiteral("import sys;print('.'.join(map(str,sys.version_info[:3])))") };

} // namespace

class TestServiceProcesses final : public QObject {
    Q_OBJECT

    QString m_root;
    std::vector<std::unique_ptr<QProcess>> m_sleepers;

    QProcess *sleeper(bool ownGroup = false)
    {
        auto child = std::make_unique<QProcess>();
        if (ownGroup)
            child->setChildProcessModifier([] { ::setpgid(0, 0); });
        child->start(QStringLiteral("/bin/sleep"), { QStringLiteral("300") });
        if (!child->waitForStarted(5000))
            return nullptr;
        m_sleepers.push_back(std::move(child));
        return m_sleepers.back().get();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Our own group, so a stray signal to "process group 0" cannot reach the test runner.
        QCOMPARE(::setpgid(0, 0), 0);
    }

    void init()
    {
        m_root = makeFolder(QStringLiteral("project"));
        QFile::remove(registrationFilePath());
        setServicePort(freePort());
    }

    void cleanup()
    {
        for (auto &child : m_sleepers) {
            child->kill();
            child->waitForFinished(5000);
        }
        m_sleepers.clear();
    }

    void runCapturing_data()
    {
        QTest::addColumn<QByteArray>("script"); // empty: no such program
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("output");
        QTest::newRow("standard output") << QByteArray("echo hello") << QStringList() << QStringLiteral("hello\n");
        QTest::newRow("standard error left out")
            << QByteArray("echo out; echo err >&2; echo more") << QStringList() << QStringLiteral("out\nmore\n");
        QTest::newRow("exit status not looked at")
            << QByteArray("echo partial; exit 3") << QStringList() << QStringLiteral("partial\n");
        QTest::newRow("killed by a signal")
            << QByteArray("echo before; kill -9 $$") << QStringList() << QStringLiteral("before\n");
        QTest::newRow("arguments verbatim")
            << QByteArray("for a in \"$@\"; do printf '[%s]' \"$a\"; done")
            << QStringList { QStringLiteral("a b"), QString(), QStringLiteral("$HOME"), QStringLiteral("-ti") }
            << QStringLiteral("[a b][][$HOME][-ti]");
        QTest::newRow("UTF-8") << QByteArray("printf '本地Quenlo'") << QStringList() << QStringLiteral("本地Quenlo");
        QTest::newRow("invalid UTF-8") << QByteArray("printf 'ok\\377'") << QStringList() << QString();
        QTest::newRow("truncated UTF-8 at the end")
            << QByteArray("printf 'ok\\344\\270'") << QStringList() << QString();
        QTest::newRow("no output") << QByteArray("true") << QStringList() << QString();
        QTest::newRow("environment inherited")
            << QByteArray("printf '%s' \"$QUENLO_PROBE\"") << QStringList() << QStringLiteral("inherited");
        QTest::newRow("standard input inherited")
            << QByteArray("readlink /proc/self/fd/0") << QStringList() << ownStandardInput() + QLatin1Char('\n');
        QTest::newRow("missing program") << QByteArray() << QStringList() << QString();
    }
    void runCapturing()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        const QString program = m_root + QStringLiteral("/program");
        if (!script.isEmpty())
            QVERIFY(writeScript(program, script + '\n'));
        qputenv("QUENLO_PROBE", "inherited");
        QCOMPARE(quenlo::runCapturing(program, arguments), output);
        qunsetenv("QUENLO_PROBE");
    }

    void runCapturingNotExecutable()
    {
        const QString program = m_root + QStringLiteral("/program");
        QVERIFY(writeFile(program, "#!/bin/sh\necho hello\n"));
        QCOMPARE(quenlo::runCapturing(program, {}), QString());
        QCOMPARE(quenlo::runCapturing(m_root, {}), QString());
    }

    void runCapturingLargeOutput()
    {
        // Far more than a pipe holds: the child must never block on a full pipe.
        const QString program = m_root + QStringLiteral("/program");
        QVERIFY(writeScript(program, "head -c 3000000 /dev/zero | tr '\\0' 'x'\necho\necho end >&2\n"));
        const QString output = quenlo::runCapturing(program, {}, 20s);
        QCOMPARE(output.size(), 3000001);
        QVERIFY(output.endsWith(QStringLiteral("x\n")));
    }

    void runCapturingBound_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<int>("boundMs");
        QTest::addColumn<QString>("output");
        QTest::addColumn<bool>("killed");
        QTest::newRow("hangs silently") << QByteArray("exec sleep 300") << 500 << QString() << true;
        QTest::newRow("hangs after output") << QByteArray("echo started; exec sleep 300") << 500 << QString() << true;
        QTest::newRow("slow but within the bound")
            << QByteArray("sleep 0.5; echo done") << 5000 << QStringLiteral("done\n") << false;
    }
    void runCapturingBound()
    {
        QFETCH(QByteArray, script);
        QFETCH(int, boundMs);
        QFETCH(QString, output);
        QFETCH(bool, killed);
        const QString program = m_root + QStringLiteral("/program");
        const QString pidFile = m_root + QStringLiteral("/pid");
        QVERIFY(writeScript(program, "echo $$ > " + shellQuoted(pidFile) + "\n" + script + "\n"));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(quenlo::runCapturing(program, {}, std::chrono::milliseconds(boundMs)), output);
        const qint64 elapsed = clock.elapsed();
        if (killed) {
            QVERIFY2(elapsed >= boundMs && elapsed < boundMs + 3000, qPrintable(QString::number(elapsed)));
            const pid_t child = pid_t(readAll(pidFile).trimmed().toInt());
            QVERIFY(child > 0);
            QVERIFY(!processRunning(child));
        } else {
            QVERIFY(elapsed < boundMs);
        }
    }

    void runCapturingDefaultBound() { QCOMPARE(quenlo::runCapturingBound, std::chrono::milliseconds(30000)); }

    void killRunning_data()
    {
        // Placeholders: A, B, C plain children; G a child leading its own process group;
        // SELF this test. The listed letters are the children that must get SIGTERM.
        QTest::addColumn<QString>("listing");
        QTest::addColumn<QString>("signalled");
        QTest::newRow("one per line") << QStringLiteral("{A}\n{B}\n") << QStringLiteral("AB");
        QTest::newRow("spaces, blank lines, plus sign")
            << QStringLiteral("  {A}  +{B}\n\n\n{C}") << QStringLiteral("ABC");
        QTest::newRow("pieces that are not ids")
            << QStringLiteral("{A}x\n0x{B}\n{C}.0\n{A}\t\n99999999999\nabc\n-\n+\n") << QString();
        QTest::newRow("ids in between garbage")
            << QStringLiteral("junk {A} 4294967296{B}\n{C}") << QStringLiteral("AC");
        QTest::newRow("zero, negatives and this process")
            << QStringLiteral("0\n-{G}\n{SELF}\n-0\n+0\n+{SELF}\n") << QString();
        QTest::newRow("a group leader by its own id") << QStringLiteral("{G}\n") << QStringLiteral("G");
        QTest::newRow("empty output") << QString() << QString();
    }
    void killRunning()
    {
        QFETCH(QString, listing);
        QFETCH(QString, signalled);
        QMap<QChar, QProcess *> children;
        for (const QChar name : { QLatin1Char('A'), QLatin1Char('B'), QLatin1Char('C'), QLatin1Char('G') }) {
            children[name] = sleeper(name == QLatin1Char('G'));
            QVERIFY(children[name]);
            listing.replace(QStringLiteral("{%1}").arg(name), QString::number(children[name]->processId()));
        }
        listing.replace(QStringLiteral("{SELF}"), QString::number(::getpid()));

        PlatformTable table = fakeTable(m_root);
        table.lsof = m_root + QStringLiteral("/fake-lsof");
        const QString record = m_root + QStringLiteral("/lsof-arguments");
        QVERIFY(writeFile(m_root + QStringLiteral("/listing"), listing.toUtf8()));
        QVERIFY(writeScript(table.lsof,
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + shellQuoted(record) + "\ncat "
                + shellQuoted(m_root + QStringLiteral("/listing")) + "\n"));

        Service(m_root, table).killRunning();

        QCOMPARE(QString::fromUtf8(readAll(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
            (QStringList {
                QStringLiteral("-ti"), QStringLiteral("tcp:%1").arg(servicePort()), QStringLiteral("-sTCP:LISTEN") }));
        for (auto it = children.cbegin(); it != children.cend(); ++it) {
            QProcess *child = it.value();
            if (signalled.contains(it.key())) {
                QVERIFY2(child->waitForFinished(5000), qPrintable(QStringLiteral("%1 kept running").arg(it.key())));
                QCOMPARE(child->exitStatus(), QProcess::CrashExit);
                QCOMPARE(child->exitCode(), int(SIGTERM));
            } else {
                QVERIFY2(!child->waitForFinished(200), qPrintable(QStringLiteral("%1 was signalled").arg(it.key())));
            }
        }
    }

    void killRunningWithoutLsof()
    {
        QProcess *child = sleeper();
        QVERIFY(child);
        Service(m_root, fakeTable(m_root)).killRunning();
        QVERIFY(!child->waitForFinished(300));
    }

    void killRunningSparesItself()
    {
        // The real lsof finds this very process listening on the port; the call must return
        // with the test still running and its server still answering.
        FakeHttpServer server;
        setServicePort(server.port());
        server.route("GET", "/api/version", FakeHttpServer::json(200, R"({"version":"1"})"));
        QVERIFY(listeningPids(server.port()).contains(::getpid()));
        Service(m_root, linuxPlatform(m_root)).killRunning();
        QTest::qSleep(200);
        QCOMPARE(httpCall(QStringLiteral("/api/version")).status, qint64(200));
    }

    void videoTools_data()
    {
        QTest::addColumn<QString>("python"); // what the environment's python prints; "-" none
        QTest::addColumn<QString>("downloader"); // what yt-dlp prints; "-" none
        QTest::addColumn<QString>("interpreter"); // runtime-python: executable, missing, plain, folder
        QTest::addColumn<QString>("marker"); // none, file, registered
        QTest::addColumn<bool>("probed");
        QTest::addColumn<bool>("rebuilt");
        const QString exe = QStringLiteral("executable");
        const QString none = QStringLiteral("none");
        QTest::newRow("no environment") << "-"
                                        << "-" << exe << none << true << true;
        QTest::newRow("in order") << "3.14.7"
                                  << "2025.06.30" << exe << none << true << false;
        QTest::newRow("in order, blanks around") << "  3.14.7\r\n\n"
                                                 << "\t2025.06.30\n"
                                                 << exe << none << true << false;
        QTest::newRow("no downloader") << "3.14.7"
                                       << "-" << exe << none << true << true;
        QTest::newRow("downloader prints blanks") << "3.14.7"
                                                  << " \n"
                                                  << exe << none << true << true;
        QTest::newRow("older interpreter") << "3.14.6"
                                           << "2025.06.30" << exe << none << true << true;
        QTest::newRow("longer version") << "3.14.70"
                                        << "2025.06.30" << exe << none << true << true;
        QTest::newRow("no environment, no runtime-python") << "-"
                                                           << "-"
                                                           << "missing" << none << true << false;
        QTest::newRow("runtime-python not executable") << "-"
                                                       << "-"
                                                       << "plain" << none << true << false;
        QTest::newRow("runtime-python a folder") << "-"
                                                 << "-"
                                                 << "folder" << none << true << false;
        QTest::newRow("NAS client marker") << "3.14.6"
                                           << "-" << exe << "file" << false << false;
        QTest::newRow("desktop client's project") << "3.14.6"
                                                  << "-" << exe << "registered" << false << false;
    }
    void videoTools()
    {
        QFETCH(QString, python);
        QFETCH(QString, downloader);
        QFETCH(QString, interpreter);
        QFETCH(QString, marker);
        QFETCH(bool, probed);
        QFETCH(bool, rebuilt);
        const QString probes = m_root + QStringLiteral("/probes");
        const auto fakeTool = [&](const QString &name, const QString &prints) {
            if (prints == QStringLiteral("-"))
                return true;
            return writeScript(m_root + QStringLiteral("/.youtube-venv/bin/") + name,
                "printf '%s' \"$0\" >> " + shellQuoted(probes) + "\nfor a in \"$@\"; do printf ' [%s]' \"$a\"; done >> "
                    + shellQuoted(probes) + "\necho >> " + shellQuoted(probes) + "\nprintf '%s' '" + prints.toUtf8()
                    + "'\n");
        };
        QVERIFY(fakeTool(QStringLiteral("python"), python));
        QVERIFY(fakeTool(QStringLiteral("yt-dlp"), downloader));
        const QString runtime = m_root + QStringLiteral("/runtime-python");
        if (interpreter == QStringLiteral("executable"))
            QVERIFY(writeScript(runtime, "exec /usr/bin/python3 \"$@\"\n"));
        else if (interpreter == QStringLiteral("plain"))
            QVERIFY(writeFile(runtime, "#!/bin/sh\n"));
        else if (interpreter == QStringLiteral("folder"))
            QVERIFY(QDir().mkpath(runtime));
        if (marker == QStringLiteral("file"))
            QVERIFY(writeFile(m_root + QStringLiteral("/.nas-client.json"), "{}"));
        if (marker == QStringLiteral("registered"))
            QVERIFY(writeFile(registrationFilePath(),
                QJsonDocument(QJsonObject { { QStringLiteral("project_path"), m_root } }).toJson()));

        // The shell records its arguments, folder and output streams, then lingers: nothing waits for it.
        PlatformTable table = fakeTable(m_root);
        table.videoToolsShell = m_root + QStringLiteral("/fake-shell");
        const QString record = m_root + QStringLiteral("/shell-record");
        const QString shellPid = m_root + QStringLiteral("/shell-pid");
        QVERIFY(writeScript(table.videoToolsShell,
            "out=$(readlink /proc/$$/fd/1); err=$(readlink /proc/$$/fd/2)\n"
            "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; pwd -P; echo \"$out\"; echo \"$err\"; } > "
                + shellQuoted(record + QStringLiteral(".part")) + "\nmv "
                + shellQuoted(record + QStringLiteral(".part")) + " " + shellQuoted(record) + "\necho $$ > "
                + shellQuoted(shellPid) + "\nexec sleep 3\n"));

        QElapsedTimer clock;
        clock.start();
        Service(m_root, table).bootstrapYoutubeToolsIfNeeded();
        QVERIFY2(clock.elapsed() < 2500, "the rebuild was waited for");

        const QStringList asked = QString::fromUtf8(readAll(probes)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (!probed) {
            QVERIFY(asked.isEmpty());
        } else {
            QStringList expected;
            if (python != QStringLiteral("-"))
                expected << m_root + QStringLiteral("/.youtube-venv/bin/python [")
                        + pythonProbe.join(QStringLiteral("] [")) + QLatin1Char(']');
            if (downloader != QStringLiteral("-"))
                expected << m_root + QStringLiteral("/.youtube-venv/bin/yt-dlp [--version]");
            QCOMPARE(asked, expected);
        }

        if (rebuilt) {
            QVERIFY(waitUntil([&] { return QFile::exists(record); }, 5s));
            QVERIFY(waitUntil([&] { return !readAll(shellPid).isEmpty(); }, 5s));
            const pid_t shell = pid_t(readAll(shellPid).trimmed().toInt());
            QVERIFY2(processRunning(shell), "the shell should still be at work");
            terminate(shell);
            QCOMPARE(QString::fromUtf8(readAll(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts),
                (QStringList { QStringLiteral("-c"), buildCommand, QDir(m_root).canonicalPath(),
                    QStringLiteral("/dev/null"), QStringLiteral("/dev/null") }));
        } else {
            QTest::qSleep(300);
            QVERIFY(!QFile::exists(record) && !QFile::exists(record + QStringLiteral(".part")));
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceProcesses)
#include "tst_serviceprocesses.moc"
