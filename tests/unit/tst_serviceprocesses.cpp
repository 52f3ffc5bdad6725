// The supervisor's dealings with other programs: runCapturing() with real children,
// killRunning() with a fake lsof naming real sleeping children, and the video tools check
// with fake interpreters and a recording shell.

#include "fakehttpserver.h"
#include "net/httpcall.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/runcapturing.h"
#include "service/service.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QFile>
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

QStringList lines(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

const QString buildCommand = QStringLiteral(
    "./runtime-python -m venv --clear .youtube-venv && .youtube-venv/bin/python -m pip install --quiet --upgrade pip"
    " && .youtube-venv/bin/python -m pip install --quiet --upgrade 'yt-dlp[default,curl-cffi]'");
const QString pythonProbe = QStringLiteral("[-c] [import sys;print('.'.join(map(str,sys.version_info[:3])))]");

} // namespace

class TestServiceProcesses final : public QObject {
    Q_OBJECT

    QString m_root;
    std::vector<std::unique_ptr<QProcess>> m_sleepers;

    QProcess *sleeper(bool ownGroup)
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

    Service service(const PlatformTable &table, quint16 port = 0) const
    {
        return Service(m_root, { port ? port : freePort() }, { 300ms, 300ms, 50ms }, table);
    }

private Q_SLOTS:
    void initTestCase()
    {
        // Our own group, so a stray signal to "process group 0" cannot reach the test runner.
        QCOMPARE(::setpgid(0, 0), 0);
    }

    void init() { m_root = makeFolder(QStringLiteral("project")); }

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
        QTest::addColumn<QByteArray>("script"); // "<missing>", "<plain>" (not executable)
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("output");
        QTest::newRow("standard error left out")
            << QByteArray("echo out; echo err >&2; echo more") << QStringList() << QStringLiteral("out\nmore\n");
        QTest::newRow("exit status not looked at")
            << QByteArray("echo partial; exit 3") << QStringList() << QStringLiteral("partial\n");
        QTest::newRow("arguments verbatim")
            << QByteArray("for a in \"$@\"; do printf '[%s]' \"$a\"; done")
            << QStringList { QStringLiteral("a b"), QString(), QStringLiteral("$HOME"), QStringLiteral("-ti") }
            << QStringLiteral("[a b][][$HOME][-ti]");
        QTest::newRow("UTF-8") << QByteArray("printf '本地Quenlo'") << QStringList() << QStringLiteral("本地Quenlo");
        QTest::newRow("invalid UTF-8") << QByteArray("printf 'ok\\377'") << QStringList() << QString();
        QTest::newRow("truncated UTF-8 at the end")
            << QByteArray("printf 'ok\\344\\270'") << QStringList() << QString();
        QTest::newRow("environment inherited")
            << QByteArray("printf '%s' \"$QUENLO_PROBE\"") << QStringList() << QStringLiteral("inherited");
        QTest::newRow("standard input inherited")
            << QByteArray("readlink /proc/self/fd/0") << QStringList() << ownStandardInput() + QLatin1Char('\n');
        QTest::newRow("missing program") << QByteArray("<missing>") << QStringList() << QString();
        QTest::newRow("not executable") << QByteArray("<plain>") << QStringList() << QString();
    }
    void runCapturing()
    {
        QFETCH(QByteArray, script);
        QFETCH(QStringList, arguments);
        QFETCH(QString, output);
        const QString program = m_root + QStringLiteral("/program");
        if (script == "<plain>")
            QVERIFY(writeFile(program, "#!/bin/sh\necho hello\n"));
        else if (script != "<missing>")
            QVERIFY(writeScript(program, script + '\n'));
        qputenv("QUENLO_PROBE", "inherited");
        QCOMPARE(quenlo::runCapturing(program, arguments), output);
        qunsetenv("QUENLO_PROBE");
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
        QTest::newRow("hangs after output") << QByteArray("echo started; exec sleep 300") << 300 << QString() << true;
        QTest::newRow("slow but within the bound")
            << QByteArray("sleep 0.3; echo done") << 5000 << QStringLiteral("done\n") << false;
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

    void killRunning_data()
    {
        // Placeholders: A, B, C plain children; G a child leading its own process group;
        // SELF this test. The listed letters are the children that must get SIGTERM.
        QTest::addColumn<QString>("listing"); // "<no lsof>": the program is missing
        QTest::addColumn<QString>("signalled");
        QTest::newRow("lines, spaces, blank lines, plus sign")
            << QStringLiteral("{A}\n  {B}  +{C}\n\n") << QStringLiteral("ABC");
        QTest::newRow("pieces that are not ids")
            << QStringLiteral("{A}x\n0x{B}\n{C}.0\n{A}\t\n99999999999\nabc\n-\n+\n") << QString();
        QTest::newRow("ids in between garbage")
            << QStringLiteral("junk {A} 4294967296{B}\n{C}") << QStringLiteral("AC");
        QTest::newRow("zero, negatives and this process")
            << QStringLiteral("0\n-{G}\n{SELF}\n-0\n+0\n+{SELF}\n") << QString();
        QTest::newRow("a group leader by its own id") << QStringLiteral("{G}\n") << QStringLiteral("G");
        QTest::newRow("no lsof") << QStringLiteral("<no lsof>") << QString();
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
        const QString record = m_root + QStringLiteral("/lsof-arguments");
        if (listing != QStringLiteral("<no lsof>")) {
            table.lsof = m_root + QStringLiteral("/fake-lsof");
            QVERIFY(writeFile(m_root + QStringLiteral("/listing"), listing.toUtf8()));
            QVERIFY(writeScript(table.lsof,
                "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + shellQuoted(record) + "\ncat "
                    + shellQuoted(m_root + QStringLiteral("/listing")) + "\n"));
        }
        const quint16 port = freePort();

        service(table, port).killRunning();

        if (QFile::exists(table.lsof))
            QCOMPARE(lines(readAll(record)),
                (QStringList { QStringLiteral("-ti"), QStringLiteral("tcp:%1").arg(port), QStringLiteral("-sTCP:LISTEN") }));
        // Every signal has been sent when killRunning() returns; the spared get a moment to show one.
        for (auto it = children.cbegin(); it != children.cend(); ++it) {
            if (!signalled.contains(it.key()))
                continue;
            QVERIFY2(it.value()->waitForFinished(5000), qPrintable(QStringLiteral("%1 kept running").arg(it.key())));
            QCOMPARE(it.value()->exitStatus(), QProcess::CrashExit);
            QCOMPARE(it.value()->exitCode(), int(SIGTERM));
        }
        QTest::qSleep(100);
        for (auto it = children.cbegin(); it != children.cend(); ++it) {
            if (!signalled.contains(it.key()))
                QVERIFY2(processRunning(pid_t(it.value()->processId())), qPrintable(QStringLiteral("%1 was signalled").arg(it.key())));
        }
    }

    void killRunningSparesItself()
    {
        // The real lsof finds this very process listening on the port; the call must return
        // with the test still running and its server still answering.
        FakeHttpServer server;
        server.route("GET", "/api/version", FakeHttpServer::json(200, R"({"version":"1"})"));
        QVERIFY(listeningPids(server.port()).contains(::getpid()));
        service(linuxPlatform(m_root), server.port()).killRunning();
        QTest::qSleep(100);
        QCOMPARE(httpCall({ server.port() }, QStringLiteral("/api/version")).status, qint64(200));
    }

    void videoTools_data()
    {
        QTest::addColumn<QString>("python"); // what the environment's python prints; "-" none
        QTest::addColumn<QString>("downloader"); // what yt-dlp prints; "-" none
        QTest::addColumn<QString>("interpreter"); // runtime-python: executable, missing, plain
        QTest::addColumn<bool>("nasMarker");
        QTest::addColumn<bool>("rebuilt");
        const QString exe = QStringLiteral("executable");
        QTest::newRow("no environment") << "-" << "-" << exe << false << true;
        QTest::newRow("in order, blanks around") << "  3.14.7\r\n\n" << "\t2025.06.30\n" << exe << false << false;
        QTest::newRow("no downloader") << "3.14.7" << "-" << exe << false << true;
        QTest::newRow("downloader prints blanks") << "3.14.7" << " \n" << exe << false << true;
        QTest::newRow("other interpreter") << "3.14.70" << "2025.06.30" << exe << false << true;
        QTest::newRow("no runtime-python") << "-" << "-" << "missing" << false << false;
        QTest::newRow("runtime-python not executable") << "-" << "-" << "plain" << false << false;
        QTest::newRow("NAS client: nothing probed") << "3.14.6" << "-" << exe << true << false;
    }
    void videoTools()
    {
        QFETCH(QString, python);
        QFETCH(QString, downloader);
        QFETCH(QString, interpreter);
        QFETCH(bool, nasMarker);
        QFETCH(bool, rebuilt);
        const QByteArray probes = shellQuoted(m_root + QStringLiteral("/probes"));
        const auto fakeTool = [&](const QString &name, const QString &prints) {
            return prints == QStringLiteral("-")
                || writeScript(m_root + QStringLiteral("/.youtube-venv/bin/") + name,
                    "{ printf '%s' \"$0\"; for a in \"$@\"; do printf ' [%s]' \"$a\"; done; echo; } >> " + probes
                        + "\nprintf '%s' '" + prints.toUtf8() + "'\n");
        };
        QVERIFY(fakeTool(QStringLiteral("python"), python));
        QVERIFY(fakeTool(QStringLiteral("yt-dlp"), downloader));
        const QString runtime = m_root + QStringLiteral("/runtime-python");
        if (interpreter == QStringLiteral("executable"))
            QVERIFY(writeScript(runtime, "exec /usr/bin/python3 \"$@\"\n"));
        else if (interpreter == QStringLiteral("plain"))
            QVERIFY(writeFile(runtime, "#!/bin/sh\n"));
        if (nasMarker)
            QVERIFY(writeFile(m_root + QStringLiteral("/.nas-client.json"), "{}"));

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
        service(table).bootstrapYoutubeToolsIfNeeded();
        QVERIFY2(clock.elapsed() < 2500, "the rebuild was waited for");

        QStringList expected;
        if (!nasMarker && python != QStringLiteral("-"))
            expected << m_root + QStringLiteral("/.youtube-venv/bin/python ") + pythonProbe;
        if (!nasMarker && downloader != QStringLiteral("-"))
            expected << m_root + QStringLiteral("/.youtube-venv/bin/yt-dlp [--version]");
        QCOMPARE(lines(readAll(m_root + QStringLiteral("/probes"))), expected);

        if (rebuilt) {
            QVERIFY(waitUntil([&] { return QFile::exists(record) && !readAll(shellPid).isEmpty(); }, 5s));
            const pid_t shell = pid_t(readAll(shellPid).trimmed().toInt());
            QVERIFY2(processRunning(shell), "the shell should still be at work");
            terminate(shell);
            QCOMPARE(lines(readAll(record)),
                (QStringList { QStringLiteral("-c"), buildCommand, QDir(m_root).canonicalPath(),
                    QStringLiteral("/dev/null"), QStringLiteral("/dev/null") }));
        } else {
            QTest::qSleep(200);
            QVERIFY(!QFile::exists(record) && !QFile::exists(record + QStringLiteral(".part")));
        }
    }
};

QTEST_GUILESS_MAIN(TestServiceProcesses)
#include "tst_serviceprocesses.moc"
