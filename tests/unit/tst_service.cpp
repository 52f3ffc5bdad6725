// The supervisor's quick parts: the version on disk, the probes and waits against a loopback
// server with exact replies, the decisions of ensure() that start nothing, and start() with
// fake programs in place of nohup and the service manager.

#include "fakehttpserver.h"
#include "scripttools.h"
#include "service/projectroot.h"
#include "service/service.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

namespace {

void registerProject(const QString &project)
{
    QVERIFY(writeFile(registrationFilePath(),
        QJsonDocument(QJsonObject { { QStringLiteral("project_path"), project } }).toJson()));
}

/// A table whose programs are all missing, so nothing real is run by mistake.
PlatformTable fakeTable(const QString &folder, PlatformTable::OS os = PlatformTable::OS::Linux)
{
    PlatformTable table = os == PlatformTable::OS::Mac ? macPlatform(folder) : linuxPlatform(folder);
    table.lsof = folder + QStringLiteral("/no-lsof");
    table.nohup = folder + QStringLiteral("/no-nohup");
    table.serviceManager = folder + QStringLiteral("/no-service-manager");
    table.videoToolsShell = folder + QStringLiteral("/no-shell");
    return table;
}

// Probes every 50 ms; the waits of stop() and ensure() stay short should one run out.
const SupervisorTimes quick { 300ms, 300ms, 50ms };

const QString noValue = QStringLiteral("<absent>");

} // namespace

class TestService final : public QObject {
    Q_OBJECT

    QString m_root;

    Service service(quint16 port, const PlatformTable &table) const { return Service(m_root, { port }, quick, table); }
    Service service(quint16 port = freePort()) const { return service(port, fakeTable(m_root)); }

private Q_SLOTS:
    void init()
    {
        m_root = makeFolder(QStringLiteral("project"));
        QFile::remove(registrationFilePath());
    }

    void expectedVersion_data()
    {
        QTest::addColumn<QByteArray>("script"); // "<folder>", "<fifo>" or "<missing>": no regular file
        QTest::addColumn<QString>("version");
        QTest::newRow("spaces around =") << QByteArray("APP_VERSION = \"42\"\n") << QStringLiteral("42");
        QTest::newRow("no spaces") << QByteArray("APP_VERSION=\"42\"") << QStringLiteral("42");
        QTest::newRow("line breaks and a tab around =") << QByteArray("APP_VERSION\n=\t\"5\"") << QStringLiteral("5");
        QTest::newRow("ideographic space") << QByteArray("APP_VERSION\u3000=\u3000\"8\"") << QStringLiteral("8");
        QTest::newRow("leading zeros kept") << QByteArray("APP_VERSION = \"007\"") << QStringLiteral("007");
        QTest::newRow("first of two") << QByteArray("APP_VERSION = \"1\"\nAPP_VERSION = \"2\"\n")
                                      << QStringLiteral("1");
        QTest::newRow("after Chinese text") << QByteArray("# 本地Quenlo\nAPP_VERSION = \"12\"\n") << QStringLiteral("12");
        QTest::newRow("single quotes") << QByteArray("APP_VERSION = '42'") << noValue;
        QTest::newRow("dotted version") << QByteArray("APP_VERSION = \"1.2\"") << noValue;
        QTest::newRow("empty quotes") << QByteArray("APP_VERSION = \"\"") << noValue;
        QTest::newRow("full-width digits") << QByteArray("APP_VERSION = \"４２\"") << noValue;
        QTest::newRow("a number, not a string") << QByteArray("APP_VERSION = 42") << noValue;
        QTest::newRow("lower case") << QByteArray("app_version = \"42\"") << noValue;
        QTest::newRow("invalid UTF-8 elsewhere") << QByteArray("APP_VERSION = \"42\"\n# \xff\xfe\n") << noValue;
        QTest::newRow("missing") << QByteArray("<missing>") << noValue;
        QTest::newRow("a folder") << QByteArray("<folder>") << noValue;
        QTest::newRow("a FIFO, never opened") << QByteArray("<fifo>") << noValue;
    }
    void expectedVersion()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, version);
        const QString path = m_root + QStringLiteral("/server.py");
        if (script == "<folder>")
            QVERIFY(QDir().mkpath(path));
        else if (script == "<fifo>")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (script != "<missing>")
            QVERIFY(writeFile(path, script));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(service().expectedVersion().value_or(noValue), version);
        QVERIFY(clock.elapsed() < 2000);
    }

    void versionProbe_data()
    {
        QTest::addColumn<int>("status"); // 0: nothing listens
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("alive");
        QTest::newRow("string") << 200 << QByteArray(R"({"version":"41"})") << QStringLiteral("41") << true;
        QTest::newRow("version of an error reply") << 500 << QByteArray(R"({"version":"41"})") << QStringLiteral("41")
                                                   << false;
        QTest::newRow("no content") << 204 << QByteArray() << noValue << false;
        QTest::newRow("number") << 200 << QByteArray(R"({"version":41})") << noValue << true;
        QTest::newRow("not JSON") << 200 << QByteArray("41") << noValue << true;
        QTest::newRow("nothing listens") << 0 << QByteArray() << noValue << false;
    }
    void versionProbe()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, version);
        QFETCH(bool, alive);
        FakeHttpServer server;
        server.route("GET", "/api/version", FakeHttpServer::json(status, body));
        const Service probed = service(status == 0 ? freePort() : server.port());
        QCOMPARE(probed.runningVersion().value_or(noValue), version);
        QCOMPARE(probed.alive(), alive);
        QCOMPARE(server.requestsFor("GET", "/api/version").size(), status == 0 ? 0 : 2);
    }

    void databaseReadable_data()
    {
        QTest::addColumn<bool>("nasMarker");
        QTest::addColumn<int>("preferences");
        QTest::addColumn<int>("menuStatus");
        QTest::addColumn<bool>("readable");
        QTest::addColumn<QByteArray>("asked");
        QTest::newRow("local, 200") << false << 200 << 500 << true << QByteArray("/api/preferences");
        QTest::newRow("local, 500") << false << 500 << 200 << false << QByteArray("/api/preferences");
        QTest::newRow("NAS client, 200") << true << 500 << 200 << true << QByteArray("/api/menu-status");
        QTest::newRow("NAS client, 404") << true << 200 << 404 << false << QByteArray("/api/menu-status");
    }
    void databaseReadable()
    {
        QFETCH(bool, nasMarker);
        QFETCH(int, preferences);
        QFETCH(int, menuStatus);
        QFETCH(bool, readable);
        QFETCH(QByteArray, asked);
        if (nasMarker)
            QVERIFY(writeFile(m_root + QStringLiteral("/.nas-client.json"), "{}"));
        FakeHttpServer server;
        server.route("GET", "/api/preferences", FakeHttpServer::json(preferences, "{}"));
        server.route("GET", "/api/menu-status", FakeHttpServer::json(menuStatus, "{}"));
        QCOMPARE(service(server.port()).databaseReadable(), readable);
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().target, asked);
    }

    void identity_data()
    {
        QTest::addColumn<QString>("registered"); // ROOT stands for the root; empty: none
        QTest::addColumn<bool>("marker");
        QTest::addColumn<bool>("bridge");
        QTest::addColumn<bool>("nasClient");
        QTest::newRow("nothing") << QString() << false << false << false;
        QTest::newRow("marker entry") << QString() << true << false << true;
        QTest::newRow("registered with trailing slash") << QStringLiteral("ROOT/") << false << true << true;
        QTest::newRow("registered, other folder") << QStringLiteral("ROOT-other") << false << false << false;
        QTest::newRow("registered elsewhere, marker") << QStringLiteral("ROOT-other") << true << false << true;
    }
    void identity()
    {
        QFETCH(QString, registered);
        QFETCH(bool, marker);
        QFETCH(bool, bridge);
        QFETCH(bool, nasClient);
        if (!registered.isEmpty())
            registerProject(QString(registered).replace(QStringLiteral("ROOT"), m_root));
        if (marker)
            QVERIFY(QDir().mkpath(m_root + QStringLiteral("/.nas-client.json"))); // any kind of entry
        const Service subject = service();
        QCOMPARE(subject.registeredBridge(), bridge);
        QCOMPARE(subject.nasClient(), nasClient);
    }

    void waits_data()
    {
        QTest::addColumn<bool>("forUp");
        QTest::addColumn<int>("upFrom"); // the probe from which the server answers 200; 0: never
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<bool>("result");
        QTest::addColumn<int>("minProbes");
        QTest::addColumn<int>("maxProbes");
        // A zero limit still probes once.
        QTest::newRow("waitAlive(0), up") << true << 1 << 0 << true << 1 << 1;
        QTest::newRow("waitAlive(0), down") << true << 0 << 0 << false << 1 << 1;
        QTest::newRow("waitGone(0), up") << false << 1 << 0 << false << 1 << 1;
        QTest::newRow("waitGone(0), down") << false << 0 << 0 << true << 1 << 1;
        // Returns at the probe that succeeds, long before the limit.
        QTest::newRow("waitAlive, up at the third probe") << true << 3 << 5000 << true << 3 << 3;
        // One probe per 50 ms up to the limit, and one at its end.
        QTest::newRow("waitAlive, never up") << true << 0 << 400 << false << 5 << 10;
        QTest::newRow("waitGone, never gone") << false << 1 << 400 << false << 5 << 10;
    }
    void waits()
    {
        QFETCH(bool, forUp);
        QFETCH(int, upFrom);
        QFETCH(int, limitMs);
        QFETCH(bool, result);
        QFETCH(int, minProbes);
        QFETCH(int, maxProbes);
        FakeHttpServer server;
        std::atomic<int> asked { 0 };
        server.route("GET", "/api/version", [&](const FakeHttpServer::Request &) {
            const int probe = ++asked;
            return FakeHttpServer::json(upFrom > 0 && probe >= upFrom ? 200 : 503, "{}");
        });
        const Service subject = service(server.port());
        QElapsedTimer clock;
        clock.start();
        const Milliseconds limit(limitMs);
        QCOMPARE(forUp ? subject.waitAlive(limit) : subject.waitGone(limit), result);
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(asked >= minProbes && asked <= maxProbes, qPrintable(QString::number(asked)));
        if (!result)
            QVERIFY2(elapsed >= limitMs && elapsed < limitMs + 1000, qPrintable(QString::number(elapsed)));
        else
            QVERIFY2(elapsed < 1000, qPrintable(QString::number(elapsed)));
    }

    void ensureKeepsAnsweringServer_data()
    {
        QTest::addColumn<bool>("allowRestart");
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QByteArray>("versionReply");
        QTest::addColumn<int>("versionRequests");
        QTest::newRow("no restart allowed, versions differ")
            << false << QByteArray("APP_VERSION = \"42\"") << QByteArray(R"({"version":"41"})") << 1;
        QTest::newRow("same version") << true << QByteArray("APP_VERSION = \"42\"") << QByteArray(R"({"version":"42"})")
                                      << 2;
        QTest::newRow("no running version") << true << QByteArray("APP_VERSION = \"42\"") << QByteArray("{}") << 2;
        QTest::newRow("no version on disk") << true << QByteArray("print()") << QByteArray(R"({"version":"41"})") << 2;
    }
    void ensureKeepsAnsweringServer()
    {
        QFETCH(bool, allowRestart);
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, versionReply);
        QFETCH(int, versionRequests);
        QVERIFY(writeFile(m_root + QStringLiteral("/server.py"), script));
        FakeHttpServer server;
        server.route("GET", "/api/version", FakeHttpServer::json(200, versionReply));
        // Every program in the table records that it ran; none may.
        PlatformTable table = fakeTable(m_root);
        const QString ran = m_root + QStringLiteral("/ran");
        for (QString *program : { &table.lsof, &table.nohup, &table.serviceManager })
            QVERIFY(writeScript(*program, "echo \"$0\" >> " + shellQuoted(ran) + "\n"));
        QCOMPARE(service(server.port(), table).ensure(allowRestart), ServiceOutcome::reused());
        QCOMPARE(server.requests().size(), versionRequests);
        QVERIFY(!QFile::exists(ran));
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/server.log")));
    }

    void startFails()
    {
        // No nohup: the log is made, and the system's reason is given.
        const std::optional<QString> message = service().start();
        const QString prefix = QStringLiteral("无法启动 server.py：");
        QVERIFY(message.has_value());
        QVERIFY2(message->startsWith(prefix) && message->size() > prefix.size(), qPrintable(*message));
        QVERIFY(QFile::exists(m_root + QStringLiteral("/server.log")));

        // A log that cannot be opened stops the start, and ensure() reports the same.
        QVERIFY(QFile::remove(m_root + QStringLiteral("/server.log")));
        QVERIFY(QDir().mkpath(m_root + QStringLiteral("/server.log")));
        const QString unwritable = QStringLiteral("无法写入 server.log");
        QCOMPARE(service().start(), std::optional<QString>(unwritable));
        QCOMPARE(service().ensure(true), ServiceOutcome::failed(unwritable));
    }

    void startLaunchesThroughNohup()
    {
        // A stand-in for nohup that reports how it was started, then writes to both streams.
        PlatformTable table = fakeTable(m_root);
        table.nohup = m_root + QStringLiteral("/fake-nohup");
        const QByteArray record = shellQuoted(m_root + QStringLiteral("/nohup-record"));
        QVERIFY(writeScript(table.nohup,
            "{ for a in \"$@\"; do printf '%s\\n' \"$a\"; done; pwd -P; readlink /proc/self/fd/0; } > " + record
                + "\necho 'to stdout'\necho 'to stderr' >&2\n"));
        const QString log = m_root + QStringLiteral("/server.log");
        QVERIFY(writeFile(log, "earlier line\n"));
        const quint16 port = freePort();

        QCOMPARE(service(port, table).start(), std::nullopt);
        QVERIFY(waitUntil([&] { return readAll(log).contains("to stderr") && readAll(log).contains("to stdout"); }, 5s));
        QVERIFY(readAll(log).startsWith("earlier line\n"));
        QCOMPARE(QString::fromUtf8(readAll(m_root + QStringLiteral("/nohup-record"))).split(u'\n', Qt::SkipEmptyParts),
            (QStringList { m_root + QStringLiteral("/runtime-python"), m_root + QStringLiteral("/server.py"),
                QString::number(port), QDir(m_root).canonicalPath(), QStringLiteral("/dev/null") }));
    }

    void startForTheDesktopClient_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<QStringList>("arguments");
        const QString label = QStringLiteral(QUENLO_SERVER_AGENT_LABEL);
        QTest::newRow("Linux") << false << QStringList { "--user", "start", label + ".service" };
        QTest::newRow("macOS") << true
                               << QStringList { "kickstart", "gui/" + QString::number(::getuid()) + "/" + label };
    }
    void startForTheDesktopClient()
    {
        QFETCH(bool, mac);
        QFETCH(QStringList, arguments);
        registerProject(m_root);
        // The client's own log is neither made nor touched.
        const QString log = m_root + QStringLiteral("/server.log");
        if (mac) {
            QVERIFY(writeFile(log, "the client's own log\n"));
            QVERIFY(QFile::setPermissions(log, QFileDevice::ReadOwner));
        }
        const QDateTime before = QFileInfo(log).lastModified();

        PlatformTable table = fakeTable(m_root, mac ? PlatformTable::OS::Mac : PlatformTable::OS::Linux);
        table.serviceManager = m_root + QStringLiteral("/fake-service-manager");
        const QString record = m_root + QStringLiteral("/manager-record");
        // The manager fails loudly: the start still counts as issued.
        QVERIFY(writeScript(table.serviceManager,
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + shellQuoted(record) + "\necho refused >&2\nexit 5\n"));
        QCOMPARE(service(freePort(), table).start(), std::nullopt);
        QCOMPARE(QString::fromUtf8(readAll(record)).split(u'\n', Qt::SkipEmptyParts), arguments);
        QCOMPARE(QFile::exists(log), mac);
        if (mac) {
            QCOMPARE(readAll(log), QByteArray("the client's own log\n"));
            QCOMPARE(QFileInfo(log).lastModified(), before);
        }
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
