// The supervisor's quick parts: the version on disk, the probes and waits against a loopback
// server with exact replies, the decisions of ensure() that start nothing, and start() with
// fake programs in place of nohup and the service manager.

#include "app/processvalues.h"
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

/// Registers \a project as the desktop client's project.
void registerProject(const QString &project)
{
    const QJsonObject registration { { QStringLiteral("project_path"), project } };
    QVERIFY(writeFile(registrationFilePath(), QJsonDocument(registration).toJson()));
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

const QString noValue = QStringLiteral("<absent>");

QString shown(const std::optional<QString> &value)
{
    return value.value_or(noValue);
}

} // namespace

class TestService final : public QObject {
    Q_OBJECT

    QString m_root;

private Q_SLOTS:
    void init()
    {
        m_root = makeFolder(QStringLiteral("project"));
        QFile::remove(registrationFilePath());
        setServicePort(freePort());
    }

    void expectedVersion_data()
    {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("version");
        QTest::newRow("spaces around =") << QByteArray("APP_VERSION = \"42\"\n") << QStringLiteral("42");
        QTest::newRow("no spaces") << QByteArray("APP_VERSION=\"42\"") << QStringLiteral("42");
        QTest::newRow("several spaces and a tab") << QByteArray("APP_VERSION   =\t  \"7\"") << QStringLiteral("7");
        QTest::newRow("line breaks around =") << QByteArray("APP_VERSION\n=\n\"5\"") << QStringLiteral("5");
        QTest::newRow("ideographic space") << QByteArray("APP_VERSION\u3000=\u3000\"8\"") << QStringLiteral("8");
        QTest::newRow("leading zeros kept") << QByteArray("APP_VERSION = \"007\"") << QStringLiteral("007");
        QTest::newRow("first of two") << QByteArray("APP_VERSION = \"1\"\nAPP_VERSION = \"2\"\n")
                                      << QStringLiteral("1");
        QTest::newRow("after Chinese text")
            << QByteArray("# 本地Quenlo 服务\nAPP_VERSION = \"12\"\n") << QStringLiteral("12");
        QTest::newRow("inside a longer name") << QByteArray("MY_APP_VERSION = \"9\"") << QStringLiteral("9");
        QTest::newRow("single quotes") << QByteArray("APP_VERSION = '42'") << noValue;
        QTest::newRow("letter after digits") << QByteArray("APP_VERSION = \"42a\"") << noValue;
        QTest::newRow("dotted version") << QByteArray("APP_VERSION = \"1.2\"") << noValue;
        QTest::newRow("signed") << QByteArray("APP_VERSION = \"+4\"") << noValue;
        QTest::newRow("empty quotes") << QByteArray("APP_VERSION = \"\"") << noValue;
        QTest::newRow("full-width digits") << QByteArray("APP_VERSION = \"４２\"") << noValue;
        QTest::newRow("a number, not a string") << QByteArray("APP_VERSION = 42") << noValue;
        QTest::newRow("lower case") << QByteArray("app_version = \"42\"") << noValue;
        QTest::newRow("no assignment") << QByteArray("print('hello')\n") << noValue;
        QTest::newRow("empty file") << QByteArray("") << noValue;
        QTest::newRow("invalid UTF-8 elsewhere") << QByteArray("APP_VERSION = \"42\"\n# \xff\xfe\n") << noValue;
    }
    void expectedVersion()
    {
        QFETCH(QByteArray, script);
        QFETCH(QString, version);
        QVERIFY(writeFile(m_root + QStringLiteral("/server.py"), script));
        QCOMPARE(shown(Service(m_root, fakeTable(m_root)).expectedVersion()), version);
    }

    void expectedVersionWithoutScript_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << QStringLiteral("missing");
        QTest::newRow("a folder") << QStringLiteral("folder");
        QTest::newRow("a FIFO") << QStringLiteral("fifo");
    }
    void expectedVersionWithoutScript()
    {
        QFETCH(QString, kind);
        const QString script = m_root + QStringLiteral("/server.py");
        if (kind == QStringLiteral("folder"))
            QVERIFY(QDir().mkpath(script));
        if (kind == QStringLiteral("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(script).constData(), 0600), 0);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(shown(Service(m_root, fakeTable(m_root)).expectedVersion()), noValue);
        QVERIFY(clock.elapsed() < 2000);
    }

    void runningVersion_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("version");
        QTest::newRow("string") << 200 << QByteArray(R"({"version":"41"})") << QStringLiteral("41");
        QTest::newRow("status not looked at") << 500 << QByteArray(R"({"version":"41"})") << QStringLiteral("41");
        QTest::newRow("number") << 200 << QByteArray(R"({"version":41})") << noValue;
        QTest::newRow("no version key") << 200 << QByteArray(R"({"name":"quenlo"})") << noValue;
        QTest::newRow("array") << 200 << QByteArray(R"(["41"])") << noValue;
        QTest::newRow("not JSON") << 200 << QByteArray("41") << noValue;
        QTest::newRow("empty") << 200 << QByteArray() << noValue;
    }
    void runningVersion()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, version);
        FakeHttpServer server;
        setServicePort(server.port());
        server.route("GET", "/api/version", FakeHttpServer::json(status, body));
        QCOMPARE(shown(Service(m_root, fakeTable(m_root)).runningVersion()), version);
    }

    void runningVersionWithoutServer()
    {
        QCOMPARE(shown(Service(m_root, fakeTable(m_root)).runningVersion()), noValue);
        QCOMPARE(Service(m_root, fakeTable(m_root)).alive(), false);
    }

    void alive_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("alive");
        QTest::newRow("200") << 200 << true;
        QTest::newRow("204") << 204 << false;
        QTest::newRow("404") << 404 << false;
        QTest::newRow("500") << 500 << false;
    }
    void alive()
    {
        QFETCH(int, status);
        QFETCH(bool, alive);
        FakeHttpServer server;
        setServicePort(server.port());
        server.route("GET", "/api/version", FakeHttpServer::json(status, R"({"version":"1"})"));
        QCOMPARE(Service(m_root, fakeTable(m_root)).alive(), alive);
        QCOMPARE(server.requestsFor("GET", "/api/version").size(), 1);
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
        QTest::newRow("local, 204") << false << 204 << 200 << false << QByteArray("/api/preferences");
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
        setServicePort(server.port());
        server.route("GET", "/api/preferences", FakeHttpServer::json(preferences, "{}"));
        server.route("GET", "/api/menu-status", FakeHttpServer::json(menuStatus, "{}"));
        QCOMPARE(Service(m_root, fakeTable(m_root)).databaseReadable(), readable);
        QCOMPARE(server.requests().size(), 1);
        QCOMPARE(server.requests().first().target, asked);
    }

    void identity_data()
    {
        QTest::addColumn<QString>("registered"); // relative to the root's parent; empty: none
        QTest::addColumn<bool>("marker");
        QTest::addColumn<bool>("bridge");
        QTest::addColumn<bool>("nasClient");
        QTest::newRow("nothing") << QString() << false << false << false;
        QTest::newRow("marker file") << QString() << true << false << true;
        QTest::newRow("registered, same folder") << QStringLiteral("ROOT") << false << true << true;
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
        const Service service(m_root, fakeTable(m_root));
        QCOMPARE(service.registeredBridge(), bridge);
        QCOMPARE(service.nasClient(), nasClient);
    }

    void waitsProbeAtLeastOnce_data()
    {
        QTest::addColumn<bool>("up");
        QTest::addColumn<bool>("waitForUp");
        QTest::addColumn<bool>("result");
        QTest::newRow("waitAlive(0), up") << true << true << true;
        QTest::newRow("waitAlive(0), down") << false << true << false;
        QTest::newRow("waitGone(0), up") << true << false << false;
        QTest::newRow("waitGone(0), down") << false << false << true;
    }
    void waitsProbeAtLeastOnce()
    {
        QFETCH(bool, up);
        QFETCH(bool, waitForUp);
        QFETCH(bool, result);
        FakeHttpServer server;
        setServicePort(server.port());
        server.route("GET", "/api/version", FakeHttpServer::json(up ? 200 : 503, R"({"version":"1"})"));
        const Service service(m_root, fakeTable(m_root));
        QCOMPARE(waitForUp ? service.waitAlive(0) : service.waitGone(0), result);
        QCOMPARE(server.requestsFor("GET", "/api/version").size(), 1);
    }

    void waitsPollUntilDeadline_data()
    {
        QTest::addColumn<bool>("waitForUp");
        QTest::newRow("waitAlive, never up") << true;
        QTest::newRow("waitGone, never gone") << false;
    }
    void waitsPollUntilDeadline()
    {
        QFETCH(bool, waitForUp);
        FakeHttpServer server;
        setServicePort(server.port());
        server.route("GET", "/api/version", FakeHttpServer::json(waitForUp ? 503 : 200, "{}"));
        const Service service(m_root, fakeTable(m_root));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(waitForUp ? service.waitAlive(1.0) : service.waitGone(1.0), false);
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= 1000 && elapsed < 2500, qPrintable(QString::number(elapsed)));
        // One probe per 0.2 s within the second, and one after the deadline.
        const qsizetype probes = server.requestsFor("GET", "/api/version").size();
        QVERIFY2(probes >= 4 && probes <= 7, qPrintable(QString::number(probes)));
    }

    void waitAliveReturnsWhenTheServerComesUp()
    {
        FakeHttpServer server;
        setServicePort(server.port());
        std::atomic<int> asked { 0 };
        server.route("GET", "/api/version",
            [&asked](const FakeHttpServer::Request &) { return FakeHttpServer::json(++asked >= 3 ? 200 : 503, "{}"); });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(Service(m_root, fakeTable(m_root)).waitAlive(10));
        QCOMPARE(asked.load(), 3);
        QVERIFY(clock.elapsed() < 2000);
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
        QTest::newRow("running version a number")
            << true << QByteArray("APP_VERSION = \"42\"") << QByteArray(R"({"version":41})") << 2;
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
        setServicePort(server.port());
        server.route("GET", "/api/version", FakeHttpServer::json(200, versionReply));
        // Every program in the table records that it ran; none may.
        PlatformTable table = fakeTable(m_root);
        const QString ran = m_root + QStringLiteral("/ran");
        for (QString *program : { &table.lsof, &table.nohup, &table.serviceManager }) {
            QVERIFY(writeScript(*program, "echo \"$0\" >> " + shellQuoted(ran) + "\n"));
        }
        QCOMPARE(Service(m_root, table).ensure(allowRestart), ServiceOutcome::reused());
        QCOMPARE(server.requestsFor("GET", "/api/version").size(), versionRequests);
        QCOMPARE(server.requests().size(), versionRequests);
        QVERIFY(!QFile::exists(ran));
        QVERIFY(!QFile::exists(m_root + QStringLiteral("/server.log")));
    }

    void startWithUnwritableLog()
    {
        QVERIFY(QDir().mkpath(m_root + QStringLiteral("/server.log")));
        const Service service(m_root, fakeTable(m_root));
        QCOMPARE(service.start(), std::optional<QString>(QStringLiteral("无法写入 server.log")));
        // Nothing answers, so ensure() gets as far as the start and reports the same.
        QCOMPARE(service.ensure(true), ServiceOutcome::failed(QStringLiteral("无法写入 server.log")));
    }

    void startWithoutNohup()
    {
        const std::optional<QString> message = Service(m_root, fakeTable(m_root)).start();
        QVERIFY(message.has_value());
        const QString prefix = QStringLiteral("无法启动 server.py：");
        QVERIFY2(message->startsWith(prefix) && message->size() > prefix.size(), qPrintable(*message));
        QVERIFY(QFile::exists(m_root + QStringLiteral("/server.log")));
    }

    void startLaunchesThroughNohup()
    {
        // A stand-in for nohup that reports how it was started, then writes to both streams.
        PlatformTable table = fakeTable(m_root);
        table.nohup = m_root + QStringLiteral("/fake-nohup");
        const QString record = m_root + QStringLiteral("/nohup-record");
        QVERIFY(writeScript(table.nohup,
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + shellQuoted(record)
                + "\n"
                  "pwd -P >> "
                + shellQuoted(record)
                + "\n"
                  "readlink /proc/self/fd/0 >> "
                + shellQuoted(record)
                + "\n"
                  "echo \"port=$LOCAL_LIBRARY_PORT\" >> "
                + shellQuoted(record)
                + "\n"
                  "echo 'to stdout'\necho 'to stderr' >&2\n"));
        QVERIFY(writeFile(m_root + QStringLiteral("/server.log"), "earlier line\n"));
        qputenv("LOCAL_LIBRARY_PORT", QByteArray::number(servicePort()));

        QCOMPARE(Service(m_root, table).start(), std::nullopt);
        qunsetenv("LOCAL_LIBRARY_PORT");
        const QString log = m_root + QStringLiteral("/server.log");
        QVERIFY(
            waitUntil([&] { return readAll(log).contains("to stderr") && readAll(log).contains("to stdout"); }, 5s));
        QVERIFY(readAll(log).startsWith("earlier line\n"));

        const QStringList lines = QString::fromUtf8(readAll(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        const QStringList expected { m_root + QStringLiteral("/runtime-python"), m_root + QStringLiteral("/server.py"),
            QString::number(servicePort()), QDir(m_root).canonicalPath(), QStringLiteral("/dev/null"),
            QStringLiteral("port=%1").arg(servicePort()) };
        QCOMPARE(lines, expected);
    }

    void startForTheDesktopClient_data()
    {
        QTest::addColumn<bool>("mac");
        QTest::addColumn<bool>("logExists");
        QTest::addColumn<QStringList>("arguments");
        const QString label = QStringLiteral(QUENLO_SERVER_AGENT_LABEL);
        const QString uid = QString::number(::getuid());
        QTest::newRow("Linux, no log") << false << false
                                       << QStringList { QStringLiteral("--user"), QStringLiteral("start"),
                                              label + QStringLiteral(".service") };
        QTest::newRow("Linux, log kept") << false << true
                                         << QStringList { QStringLiteral("--user"), QStringLiteral("start"),
                                                label + QStringLiteral(".service") };
        QTest::newRow("macOS") << true << true
                               << QStringList { QStringLiteral("kickstart"),
                                      QStringLiteral("gui/") + uid + QLatin1Char('/') + label };
    }
    void startForTheDesktopClient()
    {
        QFETCH(bool, mac);
        QFETCH(bool, logExists);
        QFETCH(QStringList, arguments);
        registerProject(m_root);
        const QString log = m_root + QStringLiteral("/server.log");
        if (logExists) {
            QVERIFY(writeFile(log, "the client's own log\n"));
            QVERIFY(QFile::setPermissions(log, QFileDevice::ReadOwner));
        }
        const QDateTime before = QFileInfo(log).lastModified();

        PlatformTable table = fakeTable(m_root, mac ? PlatformTable::OS::Mac : PlatformTable::OS::Linux);
        table.serviceManager = m_root + QStringLiteral("/fake-service-manager");
        const QString record = m_root + QStringLiteral("/manager-record");
        // The manager fails loudly: the start still counts as issued.
        QVERIFY(writeScript(table.serviceManager,
            "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > " + shellQuoted(record)
                + "\n"
                  "echo refused >&2\nexit 5\n"));
        QCOMPARE(Service(m_root, table).start(), std::nullopt);
        QCOMPARE(QString::fromUtf8(readAll(record)).split(QLatin1Char('\n'), Qt::SkipEmptyParts), arguments);
        QCOMPARE(QFile::exists(log), logExists);
        if (logExists) {
            QCOMPARE(readAll(log), QByteArray("the client's own log\n"));
            QCOMPARE(QFileInfo(log).lastModified(), before);
        }
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
