// The supervisor against a loopback server and stand-ins for its programs, and a whole life of the real demo library.

#include "fakehttpserver.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/projectroot.h"
#include "service/runcapturing.h"

#include <QtTest>

#include <sys/syscall.h>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

// Every signal this process sends passes here; while sentSignals is set, it is recorded instead of sent.
static std::optional<QStringList> sentSignals;
extern "C" int kill(pid_t pid, int signal) noexcept
{
    return sentSignals ? (sentSignals->append(QString::number(pid)), 0) : int(::syscall(SYS_kill, pid, signal));
}

namespace {
const QByteArray late = "failed: 服务没有在 10 秒内响应", noData = "failed: 服务已启动但读不到Quenlo数据";
const QStringList kinds = { "reused", "started", "failed: " };
const QByteArray build = "-c ./runtime-python -m venv --clear .youtube-venv && .youtube-venv/bin/python -m pip install "
                         "--quiet --upgrade pip && .youtube-venv/bin/python -m pip install --quiet --upgrade "
                         "'yt-dlp[default,curl-cffi]'\n";
const SupervisorTimes quick { 200ms, 200ms, 50ms };
// Records its arguments (NAME.args) and where it runs (NAME.where: folder, output, error, input), prints NAME.says.
const QByteArray recorder
    = "echo $(pwd -P; cd /proc/$$/fd; readlink 1 2 0) >$0.where; echo \"$@\" >$0.args; cat $0.says\n";
using Row = QByteArrayList;
} // namespace

class TestService final : public QObject {
    Q_OBJECT

    QString m_root;
    PlatformTable m_table; // every program missing unless a test puts a stand-in there

    static QString text(ServiceOutcome o) { return kinds[int(o.kind)] + o.message; }
    QString path(const QString &name) const { return m_root + '/' + name; }
    Service service(quint16 port, SupervisorTimes t = quick) const { return Service(m_root, { port }, t, m_table); }
    QString standIn(const QString &name, const QByteArray &says = {}) const
    {
        return writeFile(path(name + ".says"), says), writeScript(path(name), recorder), path(name);
    }

private Q_SLOTS:
    void init()
    {
        m_root = QDir(makeFolder("project")).canonicalPath();
        m_table = linuxPlatform(m_root);
        m_table.lsof = m_table.nohup = m_table.serviceManager = m_table.videoToolsShell = path("missing");
        QFile::remove(registrationFilePath());
    }

    void decisions_data()
    {
        // Row: identity (ROOT: registered by the desktop client), server.py, the /api/version reply, what is observed
        // (on disk, running, up, desktop client, NAS client, what ensure(true) did, the probes asked, what the service
        // manager got), the database probes' status (200). nohup starts nothing, no lsof: a stop or start waits 200 ms.
        QTest::addColumn<QByteArrayList>("row");
        const QByteArray v42 = "APP_VERSION=\"42\"\n", r41 = R"(200 {"version":"41"})", r42 = R"(200 {"version":"42"})";
        const QByteArray started = "42 41 up → started /api/preferences";
        const QByteArray client = "42 41 up client nas → " + noData
            + " /api/menu-status --user start " QUENLO_SERVER_AGENT_LABEL ".service";
        QTest::newRow("same version") << Row { "", v42, r42, "42 42 up → reused" };
        QTest::newRow("first, wide space") << Row { "", "APP_VERSION\u3000=\n\"42\" APP_VERSION=\"1\"", r41, started };
        QTest::newRow("16 MiB") << Row { "", v42 + QByteArray(16 * 1024 * 1024 - 17, ' '), r41, started };
        QTest::newRow("a FIFO, never opened") << Row { "", "<fifo>", r41, "- 41 up → reused" };
        QTest::newRow("no running version") << Row { "", v42, "200 {}", "42 - up → reused" };
        QTest::newRow("not 200 means down") << Row { "", v42, "500" + r42.mid(3), "42 42 down → " + late };
        QTest::newRow("marker folder") << Row { "marker", v42, r41, "42 41 up nas → started /api/menu-status" };
        QTest::newRow("desktop client") << Row { "ROOT/", v42, r41, client, "404" };
    }
    void decisions()
    {
        QFETCH(QByteArrayList, row);
        const QByteArray identity = row[0], script = row[1], reply = row[2], observed = row[3];
        QVERIFY(script.startsWith('<') || writeFile(path("server.py"), script));
        QVERIFY(script != "<fifo>" || QProcess::execute("mkfifo", { path("server.py") }) == 0);
        QVERIFY(identity != "marker" || QDir().mkpath(path(".nas-client.json"))); // of any kind
        const QByteArray project = QByteArray(identity).replace("ROOT", m_root.toUtf8());
        QVERIFY(!identity.startsWith("ROOT")
            || writeFile(registrationFilePath(), "{\"project_path\":\"" + project + "\"}"));
        m_table.nohup = "/bin/true";
        m_table.serviceManager = standIn("manager");
        FakeHttpServer server;
        server.route("GET", "/api/version", FakeHttpServer::json(reply.left(3).toInt(), reply.mid(4)));
        for (const char *probe : { "/api/preferences", "/api/menu-status" })
            server.route("GET", probe, FakeHttpServer::json(row.value(4, "200").toInt(), "{}"));
        const Service subject = service(server.port());
        QStringList seen { subject.expectedVersion().value_or("-"), subject.runningVersion().value_or("-"),
            subject.alive() ? "up" : "down", subject.registeredBridge() ? "client" : "",
            subject.nasClient() ? "nas" : "", "→", text(subject.ensure(true)) };
        for (const FakeHttpServer::Request &request : server.requests())
            seen << request.target;
        QVERIFY(seen.removeAll("/api/version") <= 10); // one probe every 50 ms while a wait lasts
        QCOMPARE((seen.join(' ') + ' ' + readAll(path("manager.args"))).simplified(), observed);
        QVERIFY(!subject.alive() || subject.ensure(false) == ServiceOutcome::reused());
    }

    void start()
    {
        // nohup missing: the log is made all the same, and the system's reason given.
        const QString log = path("server.log");
        QCOMPARE(service(1).start(), "无法启动 server.py：execv: No such file or directory");
        QVERIFY(QFile::remove(log) && QDir().mkpath(log)); // a folder cannot be opened for writing, even by root
        QCOMPARE(service(1).start(), "无法写入 server.log");
        QVERIFY(QDir().rmdir(log) && writeFile(log, "earlier line\n"));
        m_table.nohup = standIn("nohup", "to stdout\n");
        int ends[2]; // with input of its own, so that the server's null device shows
        QVERIFY(::pipe(ends) == 0 && ::dup2(ends[0], 0) == 0);
        QCOMPARE(service(8123).start(), std::nullopt);
        QTRY_COMPARE(readAll(log), "earlier line\nto stdout\n");
        QCOMPARE(readAll(path("nohup.args")), (path("runtime-python ") + path("server.py 8123\n")).toUtf8());
        QCOMPARE(readAll(path("nohup.where")), (m_root + ' ' + log + ' ' + log + " /dev/null\n").toUtf8());
    }

    void life_data()
    {
        // A demo server of version 3 runs before or not; the one wait named in runsOut is short and runs out.
        QTest::addColumn<QStringList>("row"); // before, change, runsOut, observed: outcome, who listens after, version
        QTest::newRow("from nothing") << QStringList { "", "", "", "started, new, 3" };
        QTest::newRow("version change") << QStringList { "running", "version", "", "started, new, 4" };
        QTest::newRow("restart") << QStringList { "running", "restart", "", "started, new, 3" };
        QTest::newRow("never comes") << QStringList { "", "no runtime-python", "start", late + ", none, -" };
        QTest::newRow("old server ignores SIGTERM") << QStringList { "deaf", "version", "stop", "started, same, 3" };
    }
    void life()
    {
        QFETCH(QStringList, row);
        const QString before = row[0], change = row[1], runsOut = row[2], observed = row[3];
        m_root = copyDemoLibrary();
        m_table = linuxPlatform(m_root);
        const quint16 port = freePort();
        const auto cleanup = qScopeGuard([&] { endListeners(port, 0), qunsetenv("DEMO_IGNORE_SIGTERM"); });
        QVERIFY(before != "deaf" || qputenv("DEMO_IGNORE_SIGTERM", "1"));
        QVERIFY(before.isEmpty() || service(port, { 5s, 5s, 50ms }).ensure(true) == ServiceOutcome::started());
        const QList<pid_t> listening = listeningPids(port);
        QVERIFY(
            change != "version" || writeFile(path("server.py"), readAll(path("server.py")).replace("\"3\"", "\"4\"")));
        QVERIFY(change != "no runtime-python" || QFile::remove(path("runtime-python")));
        const Milliseconds stop = runsOut == "stop" ? 600ms : 5s, start = runsOut == "start" ? 600ms : 5s;
        const Service subject = service(port, { stop, start, 50ms });
        QElapsedTimer clock;
        clock.start();
        const QString outcome = text(change == "restart" ? subject.restart() : subject.ensure(true));
        QVERIFY(runsOut.isEmpty() ? clock.elapsed() < 4000 : clock.elapsed() >= 600 && clock.elapsed() < 2000);
        const QList<pid_t> after = listeningPids(port);
        const QString server = after.isEmpty() ? "none" : after == listening ? "same" : "new";
        QCOMPARE(outcome + ", " + server + ", " + subject.runningVersion().value_or("-"), observed);
    }

    void runCapturing_data()
    {
        QTest::addColumn<QByteArray>("script"); // run with the arguments "a b", "" and "$HOME", given a second
        QTest::addColumn<QString>("output");
        QTest::newRow("stdout only") << QByteArray("echo 本地Quenlo; echo err >&2; exit 3") << "本地Quenlo\n";
        QTest::newRow("stderr to /dev/null") << QByteArray("readlink /proc/$$/fd/2") << "/dev/null\n";
        QTest::newRow("arguments verbatim") << QByteArray("printf '[%s]' \"$@\"") << "[a b][][$HOME]";
        // Far more than a pipe holds: the child must never block on a full pipe.
        QTest::newRow("large output") << QByteArray("yes x | head -c 3000000") << QString("x\n").repeated(1500000);
        QTest::newRow("hangs past the bound") << QByteArray("echo started; exec sleep 300") << "";
    }
    void runCapturing()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, output);
        QVERIFY(writeScript(path("program"), script + '\n'));
        QCOMPARE(quenlo::runCapturing(path("program"), { "a b", "", "$HOME" }, 1s), output);
    }

    void killRunning_data()
    {
        QTest::addColumn<QByteArray>("listing"); // what lsof prints; SELF stands for this process
        QTest::addColumn<QString>("signalled");
        QTest::newRow("in lsof's order") << QByteArray("301\n  101  +201\n\n") << "301 101 201";
        QTest::newRow("ids among garbage") << QByteArray("x 101x 0x201 1.0 101\t\n301\n9999999999") << "301";
        QTest::newRow("zero, negatives and this process") << QByteArray("0\n-101\nSELF\n-0\n+0\n+SELF\n") << "";
    }
    void killRunning()
    {
        QFETCH(QByteArray, listing);
        QFETCH(QString, signalled);
        m_table.lsof = standIn("lsof", listing.replace("SELF", QByteArray::number(::getpid())));
        sentSignals.emplace();
        service(8123).killRunning();
        QCOMPARE(std::exchange(sentSignals, std::nullopt)->join(' '), signalled);
        QCOMPARE(readAll(path("lsof.args")), "-ti tcp:8123 -sTCP:LISTEN\n");
    }

    void videoTools_data()
    {
        QTest::addColumn<QStringList>("row"); // what the venv's python and yt-dlp print ("-": missing), setup, rebuilt
        QTest::newRow("no venv") << QStringList { "-", "-", "", "rebuilt" };
        QTest::newRow("in order, blanks around") << QStringList { "  3.14.7\r\n\n", "\t2025.06.30\n", "", "" };
        QTest::newRow("no downloader") << QStringList { "3.14.7", "-", "", "rebuilt" };
        QTest::newRow("runtime-python not executable") << QStringList { "-", "-", "plain runtime-python", "" };
        QTest::newRow("NAS client") << QStringList { "-", "-", "NAS client", "" };
    }
    void videoTools()
    {
        QFETCH(QStringList, row);
        const QString python = row[0], downloader = row[1], setup = row[2];
        const bool rebuilt = row[3] == "rebuilt";
        QVERIFY(python == "-" || !standIn(".youtube-venv/bin/python", python.toUtf8()).isEmpty());
        QVERIFY(downloader == "-" || !standIn(".youtube-venv/bin/yt-dlp", downloader.toUtf8()).isEmpty());
        QVERIFY((setup.startsWith("plain") ? writeFile : writeScript)(path("runtime-python"), "\n"));
        QVERIFY(setup != "NAS client" || writeFile(path(".nas-client.json"), "{}"));
        m_table.videoToolsShell = standIn("shell");
        service(1).bootstrapYoutubeToolsIfNeeded();
        QTest::qWait(rebuilt ? 0 : 300);
        // In the root, its output to the null device, and nothing waits for it.
        const QByteArray where = m_root.toUtf8() + " /dev/null /dev/null ";
        QTRY_COMPARE(readAll(path("shell.where")).left(where.size()) + readAll(path("shell.args")),
            rebuilt ? where + build : "");
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
