// The supervisor against a loopback server and stand-ins for its programs, and for a whole life
// against the demo library as a real detached process.

#include "fakehttpserver.h"
#include "processinfo.h"
#include "scripttools.h"
#include "service/projectroot.h"
#include "service/runcapturing.h"
#include "service/service.h"
#include "testenv.h"

#include <QtTest>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

// Every signal this process sends passes here, so that the order of killRunning()'s signals can be
// read back; none goes to a process group, which could take the test runner with it.
static QList<pid_t> *sentSignals = nullptr;
extern "C" int kill(pid_t pid, int signal) noexcept
{
    if (sentSignals != nullptr)
        sentSignals->append(pid);
    return pid > 0 ? int(::syscall(SYS_kill, pid, signal)) : 0;
}

namespace {
const QString none = "-", late = "failed: 服务没有在 10 秒内响应", noData = "failed: 服务已启动但读不到Quenlo数据";
const QStringList kinds = { "reused", "started", "failed: " };
const SupervisorTimes quick { 200ms, 200ms, 50ms };
struct Life {
    QString before, change, action, runsOut, observed;
};
} // namespace
Q_DECLARE_METATYPE(Life)

class TestService final : public QObject {
    Q_OBJECT

    QString m_root;
    PlatformTable m_table; // every program missing unless a test puts a stand-in there

    static QString text(ServiceOutcome o) { return kinds[int(o.kind)] + o.message; }
    static QStringList lines(const QByteArray &bytes) { return QString(bytes).split('\n', Qt::SkipEmptyParts); }
    QString path(const QString &name) const { return m_root + '/' + name; }
    Service service(quint16 port, SupervisorTimes t = quick) const { return Service(m_root, { port }, t, m_table); }
    /// Records its arguments (NAME.args) and where it runs (NAME.where: folder, output, error, input).
    QString standIn(const QString &name, const QByteArray &says = {}) const
    {
        writeScript(path(name),
            "w=$(pwd -P; readlink /proc/$$/fd/1 /proc/$$/fd/2 /proc/$$/fd/0)\necho \"$w\" >$0.where\n"
            "printf '%s\\n' \"$@\" >$0.args\nprintf '%s' '"
                + says + "'\nexit 5\n");
        return path(name);
    }

private Q_SLOTS:
    void init()
    {
        m_root = makeFolder("project");
        m_table = linuxPlatform(m_root);
        m_table.lsof = m_table.nohup = m_table.serviceManager = m_table.videoToolsShell = path("missing");
        QFile::remove(registrationFilePath());
    }

    void decisions_data()
    {
        // A fake server gives "reply" (status and body) for /api/version, "database" for the database probes. nohup
        // starts nothing, there is no lsof: a stop or a start waits out its 200 ms. Observed: the versions on disk and
        // running, up, desktop client, NAS client, ensure(true)'s outcome, the probes asked, the service manager's job.
        QTest::addColumn<QString>("identity"); // ROOT: registered by the desktop client; marker: .nas-client.json
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<int>("database");
        QTest::addColumn<QString>("observed");
        const QByteArray v42 = "APP_VERSION = \"42\"\n", big = v42 + QByteArray(16 * 1024 * 1024 - 19, ' ');
        const QByteArray r41 = R"(200 {"version":"41"})", r42 = R"(200 {"version":"42"})", f = "<fifo>";
        const QString up41 = "42 41 up → ", systemctl = " --user start " QUENLO_SERVER_AGENT_LABEL ".service";
        QTest::newRow("same version") << "" << v42 << r42 << 200 << "42 42 up → reused";
        QTest::newRow("first of two, wide space") << "" << QByteArray("APP_VERSION\u3000=\n\"4\"\nAPP_VERSION = \"1\"")
                                                  << r41 << 200 << "4 41 up → started /api/preferences";
        QTest::newRow("invalid UTF-8 elsewhere") << "" << v42 + "# 本地\xff\n" << r41 << 200 << "- 41 up → reused";
        QTest::newRow("16 MiB") << "" << big << r41 << 200 << up41 + "started /api/preferences";
        QTest::newRow("missing") << "" << QByteArray("<missing>") << r41 << 200 << "- 41 up → reused";
        QTest::newRow("a FIFO, never opened") << "" << f << r41 << 200 << "- 41 up → reused";
        QTest::newRow("no running version") << "" << v42 << QByteArray("200 {}") << 200 << "42 - up → reused";
        QTest::newRow("database unreadable") << "" << v42 << r41 << 500 << up41 + noData + " /api/preferences";
        QTest::newRow("not 200 means down") << "" << v42 << "500" + r42.mid(3) << 200 << "42 42 down → " + late;
        QTest::newRow("marker folder") << "marker" << v42 << r41 << 200 << "42 41 up nas → started /api/menu-status";
        QTest::newRow("desktop client") << "ROOT/" << v42 << r41 << 404
                                        << "42 41 up client nas → " + noData + " /api/menu-status" + systemctl;
        QTest::newRow("registered elsewhere") << "ROOT-other" << v42 << r42 << 200 << "42 42 up → reused";
    }
    void decisions()
    {
        QFETCH(QString, identity);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, reply);
        QFETCH(int, database);
        QFETCH(QString, observed);
        QVERIFY(script.startsWith('<') || writeFile(path("server.py"), script));
        QVERIFY(script != "<fifo>" || ::mkfifo(QFile::encodeName(path("server.py")).constData(), 0600) == 0);
        QVERIFY(identity != "marker" || QDir().mkpath(path(".nas-client.json"))); // of any kind
        const QByteArray project = identity.replace("ROOT", m_root).toUtf8();
        QVERIFY(
            !project.startsWith('/') || writeFile(registrationFilePath(), "{\"project_path\":\"" + project + "\"}"));
        m_table.nohup = "/bin/true";
        m_table.serviceManager = standIn("manager");
        FakeHttpServer server;
        server.route("GET", "/api/version", FakeHttpServer::json(reply.left(3).toInt(), reply.mid(4)));
        for (const char *probe : { "/api/preferences", "/api/menu-status" })
            server.route("GET", probe, FakeHttpServer::json(database, "{}"));
        const Service subject = service(server.port());
        QStringList seen { subject.expectedVersion().value_or(none), subject.runningVersion().value_or(none),
            subject.alive() ? "up" : "down", subject.registeredBridge() ? "client" : "",
            subject.nasClient() ? "nas" : "", "→", text(subject.ensure(true)) };
        for (const FakeHttpServer::Request &request : server.requests())
            seen << request.target;
        QVERIFY(seen.removeAll("/api/version") <= 10); // one probe every 50 ms while a wait lasts
        seen.removeAll("");
        QCOMPARE((seen + lines(readAll(path("manager.args")))).join(' '), observed);
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
        QCOMPARE(service(8123).start(), std::nullopt);
        QTRY_COMPARE(readAll(log), "earlier line\nto stdout\n");
        QCOMPARE(
            lines(readAll(path("nohup.args"))), QStringList({ path("runtime-python"), path("server.py"), "8123" }));
        QCOMPARE(
            lines(readAll(path("nohup.where"))), QStringList({ QDir(m_root).canonicalPath(), log, log, "/dev/null" }));
    }

    void life_data()
    {
        // A server of version 3 runs before, or not; then server.py says 4 or runtime-python is gone; then the
        // action. The wait named in runsOut is short and runs out; the others are roomy and must not.
        QTest::addColumn<Life>("row");
        QTest::newRow("from nothing") << Life { "", "", "ensure", "", "started, new server, version 3" };
        QTest::newRow("version change") << Life { "running", "version", "ensure", "",
            "started, new server, version 4" };
        QTest::newRow("restart") << Life { "running", "", "restart", "", "started, new server, version 3" };
        QTest::newRow("never comes") << Life { "", "no runtime-python", "ensure", "start",
            late + ", no server, version -" };
        // The start follows the stop wait all the same; the old server then answers the probes.
        QTest::newRow("old server ignores SIGTERM")
            << Life { "deaf", "version", "ensure", "stop", "started, same server, version 3" };
    }
    void life()
    {
        QFETCH(Life, row);
        m_root = copyDemoLibrary();
        m_table = linuxPlatform(m_root);
        const quint16 port = freePort();
        const auto cleanup = qScopeGuard([&] { endListeners(port, 0), qunsetenv("DEMO_IGNORE_SIGTERM"); });
        QVERIFY(row.before != "deaf" || qputenv("DEMO_IGNORE_SIGTERM", "1"));
        QVERIFY(row.before.isEmpty() || service(port, { 5s, 5s, 50ms }).ensure(true) == ServiceOutcome::started());
        const QList<pid_t> before = listeningPids(port);
        QVERIFY(row.change != "version"
            || writeFile(path("server.py"), readAll(path("server.py")).replace("\"3\"", "\"4\"")));
        QVERIFY(row.change.isEmpty() || row.change == "version" || QFile::remove(path("runtime-python")));
        const Milliseconds stop = row.runsOut == "stop" ? 600ms : 5s, start = row.runsOut == "start" ? 600ms : 5s;
        const Service subject = service(port, { stop, start, 50ms });
        QElapsedTimer clock;
        clock.start();
        const QString outcome = text(row.action == "restart" ? subject.restart() : subject.ensure(true));
        QVERIFY(row.runsOut.isEmpty() ? clock.elapsed() < 4000 : clock.elapsed() >= 600 && clock.elapsed() < 2000);
        const QList<pid_t> after = listeningPids(port);
        const QString server = after.isEmpty() ? "no server" : after == before ? "same server" : "new server";
        QCOMPARE(outcome + ", " + server + ", version " + subject.runningVersion().value_or(none), row.observed);
        QVERIFY(before.isEmpty() || after == before || !processRunning(before.first())); // a replaced server is gone
    }

    void runCapturing_data()
    {
        // Run with the arguments "a b", "" and "$HOME", given a second.
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("output");
        QTest::newRow("error to the null device")
            << QByteArray("echo out; echo err >&2; readlink /proc/$$/fd/2") << "out\n/dev/null\n";
        QTest::newRow("input inherited") << QByteArray("readlink /proc/$$/fd/0 /proc/$PPID/fd/0 | uniq | wc -l")
                                         << "1\n";
        QTest::newRow("exit status not looked at") << QByteArray("echo 本地Quenlo; exit 3") << "本地Quenlo\n";
        QTest::newRow("arguments verbatim") << QByteArray("printf '[%s]' \"$@\"") << "[a b][][$HOME]";
        QTest::newRow("invalid UTF-8") << QByteArray("printf 'ok\\377'") << "";
        // Far more than a pipe holds: the child must never block on a full pipe.
        QTest::newRow("large output") << QByteArray("head -c 3000000 /dev/zero | tr '\\0' x") << QString(3000000, 'x');
        QTest::newRow("hangs past the bound") << QByteArray("echo started; exec sleep 300") << "";
    }
    void runCapturing()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, output);
        QVERIFY(writeScript(path("program"), script + '\n'));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(quenlo::runCapturing(path("program"), { "a b", "", "$HOME" }, 1s), output);
        QVERIFY(clock.elapsed() < 3000);
    }

    void killRunning_data()
    {
        // {A}, {B}, {C} stand for the ids of three sleeping children, {SELF} for this process.
        QTest::addColumn<QByteArray>("listing"); // empty: no lsof
        QTest::addColumn<QString>("signalled");
        QTest::newRow("in lsof's order") << QByteArray("{C}\n  {A}  +{B}\n\n") << "CAB";
        QTest::newRow("ids among garbage")
            << QByteArray("junk {A}x 0x{B} {C}.0 {A}\t\n{C}\n99999999999 4294967296{B}") << "C";
        QTest::newRow("zero, negatives and this process") << QByteArray("0\n-{A}\n{SELF}\n-0\n+0\n+{SELF}\n") << "";
        QTest::newRow("no lsof") << QByteArray() << "";
    }
    void killRunning()
    {
        QFETCH(QByteArray, listing);
        QFETCH(QString, signalled);
        QProcess children[3];
        QList<pid_t> sent, expected;
        for (int i = 0; i < 3; ++i) {
            children[i].start("/bin/sleep", { "300" });
            QVERIFY(children[i].waitForStarted());
            listing.replace("{" + QByteArray(1, char('A' + i)) + "}", QByteArray::number(children[i].processId()));
        }
        if (!listing.isEmpty())
            m_table.lsof = standIn("lsof", listing.replace("{SELF}", QByteArray::number(::getpid())));
        sentSignals = &sent;
        service(8123).killRunning();
        sentSignals = nullptr;
        for (const QChar letter : signalled)
            expected << pid_t(children[letter.unicode() - 'A'].processId());
        QCOMPARE(sent, expected);
        QCOMPARE(readAll(path("lsof.args")), listing.isEmpty() ? "" : "-ti\ntcp:8123\n-sTCP:LISTEN\n");
        for (QProcess &child : children)
            child.kill(), child.waitForFinished();
    }

    void videoTools_data()
    {
        QTest::addColumn<QStringList>("prints"); // what the venv's python and yt-dlp print; "-": missing
        QTest::addColumn<QString>("setup");
        QTest::addColumn<bool>("rebuilt");
        QTest::newRow("no venv") << QStringList { none, none } << "" << true;
        QTest::newRow("in order, blanks around") << QStringList { "  3.14.7\r\n\n", "\t2025.06.30\n" } << "" << false;
        QTest::newRow("no downloader") << QStringList { "3.14.7", none } << "" << true;
        QTest::newRow("other interpreter") << QStringList { "3.14.70", "2025.06.30" } << "" << true;
        QTest::newRow("runtime-python not executable") << QStringList { none, none } << "plain runtime-python" << false;
        QTest::newRow("NAS client") << QStringList { none, none } << "NAS client" << false;
    }
    void videoTools()
    {
        QFETCH(QStringList, prints);
        QFETCH(QString, setup);
        QFETCH(bool, rebuilt);
        QVERIFY(prints[0] == none || !standIn(".youtube-venv/bin/python", prints[0].toUtf8()).isEmpty());
        QVERIFY(prints[1] == none || !standIn(".youtube-venv/bin/yt-dlp", prints[1].toUtf8()).isEmpty());
        QVERIFY((setup.startsWith("plain") ? writeFile : writeScript)(path("runtime-python"), "\n"));
        QVERIFY(setup != "NAS client" || writeFile(path(".nas-client.json"), "{}"));
        m_table.videoToolsShell = standIn("shell");
        service(1).bootstrapYoutubeToolsIfNeeded();
        QTest::qWait(rebuilt ? 0 : 300);
        // In the root, its output to the null device, and nothing waits for it.
        const QByteArray where = QDir(m_root).canonicalPath().toUtf8() + "\n/dev/null\n/dev/null\n";
        QTRY_COMPARE(readAll(path("shell.where")).left(where.size()), rebuilt ? where : "");
        QCOMPARE(readAll(path("shell.args")),
            rebuilt ? "-c\n./runtime-python -m venv --clear .youtube-venv && .youtube-venv/"
                      "bin/python -m pip install --quiet --upgrade pip && .youtube-venv/bin/python -m pip install "
                      "--quiet --upgrade "
                      "'yt-dlp[default,curl-cffi]'\n"
                    : "");
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
