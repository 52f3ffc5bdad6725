#include "net/quenloapi.h"
#include "platform/libsecretstore.h"

#include "httpsserver.h"
#include "testenv.h"

#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QtTest>

using namespace quenlo;
using namespace quenlo::test;

using Status = SecretStore::Status;

namespace {

const QByteArray keyringPassword = "keyring-password-for-tests";

struct Run {
    int exitCode = -1;
    QByteArray out;
};

Run run(const QString &program, const QStringList &arguments, const QByteArray &input = {})
{
    QProcess p;
    p.start(program, arguments);
    if (!p.waitForStarted(5000))
        return {};
    p.write(input);
    p.closeWriteChannel();
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return {};
    }
    return { p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput() };
}

QStringList busCall(
    const QString &destination, const QString &object, const QString &method, const QStringList &arguments = {})
{
    return QStringList { "call", "--session", "--dest", destination, "--object-path", object, "--method", method }
    + arguments;
}

/// The items with our identity, as secret-tool (not our code) sees them: their secrets.
QByteArrayList storedSecrets()
{
    const Run search = run("secret-tool",
        { "search", "--all", "--unlock", "service", QStringLiteral(QUENLO_SECRET_SERVICE), "account", "session" });
    QByteArrayList secrets;
    for (const QByteArray &line : search.out.split('\n')) {
        if (line.startsWith("secret = "))
            secrets.append(line.mid(9));
    }
    return secrets;
}

/// \brief gnome-keyring-daemon with its secrets component on the test's private session bus.
class KeyringDaemon final {
public:
    ~KeyringDaemon() { stop(); }

    /// Starts it, unlocking (or creating) the login keyring; an error text, or empty.
    QString start()
    {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(scratchDir() + "/keyring-daemon.log", QIODevice::Append);
        m_process.start("gnome-keyring-daemon", { "--foreground", "--unlock", "--components=secrets" });
        if (!m_process.waitForStarted(5000))
            return "cannot start gnome-keyring-daemon: " + m_process.errorString();
        // --unlock reads the login keyring's password from standard input up to its end.
        // Without an event loop the bytes reach the pipe only while waiting for them.
        m_process.write(keyringPassword);
        m_process.waitForBytesWritten(5000);
        m_process.closeWriteChannel();
        const QString pid = QString::number(m_process.processId());
        const bool owned = waitUntil(
            [&] {
                const Run owner = run("gdbus",
                    busCall("org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus.GetConnectionUnixProcessID", { "org.freedesktop.secrets" }));
                return owner.exitCode == 0 && owner.out.contains(" " + pid.toLatin1() + ",");
            },
            std::chrono::seconds(15));
        if (!owned)
            return QStringLiteral("gnome-keyring-daemon did not take org.freedesktop.secrets");
        if (!waitUntil([&] { return !loginCollection().isEmpty(); }, std::chrono::seconds(10)))
            return QStringLiteral("the keyring has no default collection");
        return {};
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    /// The object path of the default collection; empty while there is none.
    static QString loginCollection()
    {
        const Run alias = run("gdbus",
            busCall("org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.ReadAlias",
                { "default" }));
        const QRegularExpressionMatch m
            = QRegularExpression("objectpath '(/[^']+)'").match(QString::fromUtf8(alias.out));
        return m.hasMatch() && m.captured(1) != QStringLiteral("/") ? m.captured(1) : QString();
    }

    static bool isLocked(const QString &collection)
    {
        const Run locked = run("gdbus",
            busCall("org.freedesktop.secrets", collection, "org.freedesktop.DBus.Properties.Get",
                { "org.freedesktop.Secret.Collection", "Locked" }));
        return locked.out.contains("true");
    }

private:
    QProcess m_process;
};

} // namespace

// LibsecretStore against a real Secret Service, and the NAS client keeping its session there.
class TestLibsecretStore final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;
    KeyringDaemon m_keyring;

    std::unique_ptr<QuenloAPI> client(SecretStore *store) const
    {
        return std::make_unique<QuenloAPI>(m_server->origin(), m_certs.caCert, store);
    }
    QuenloResult loginWith(QuenloAPI &api, const QByteArray &cookie, const QString &code = QStringLiteral("1234"))
    {
        m_server->route("POST", "/api/session",
            HttpsTestServer::json(200, R"({"ok":true})", { { "Set-Cookie", cookie + "; HttpOnly; Path=/" } }));
        return api.call(QStringLiteral("/api/session"), QJsonObject { { QStringLiteral("token"), code } });
    }
    static void clearItems()
    {
        run("secret-tool", { "clear", "service", QStringLiteral(QUENLO_SECRET_SERVICE), "account", "session" });
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
            if (QStandardPaths::findExecutable("dbus-run-session").isEmpty())
                QSKIP("dbus-run-session is not installed, so there is no private session bus to test on");
            QFAIL("no session bus: run this suite through tests/support/session-bus");
        }
        for (const char *tool : { "gnome-keyring-daemon", "secret-tool", "gdbus" })
            QVERIFY2(!QStandardPaths::findExecutable(tool).isEmpty(), tool);
        unsetProxyVariables();
        m_certs = TestCertificates::make(makeFolder(QStringLiteral("certs")));
        QVERIFY2(m_certs.error.isEmpty(), qPrintable(m_certs.error));
        m_server = std::make_unique<HttpsTestServer>(m_certs.serverCert, m_certs.serverKey);
        QVERIFY2(m_server->error().isEmpty(), qPrintable(m_server->error()));
        const QString started = m_keyring.start();
        QVERIFY2(started.isEmpty(), qPrintable(started));
    }
    void init()
    {
        // A test that failed half-way may have left the keyring locked; starting the daemon
        // again with the password unlocks it.
        if (KeyringDaemon::isLocked(KeyringDaemon::loginCollection())) {
            m_keyring.stop();
            const QString restarted = m_keyring.start();
            QVERIFY2(restarted.isEmpty(), qPrintable(restarted));
        }
        clearItems();
        m_server->clearRoutes();
        m_server->clearLog();
    }

    void firstLoginAddsSecondUpdates()
    {
        LibsecretStore store;
        QCOMPARE(store.read().status, Status::NotFound);
        QCOMPARE(store.update("quenlo_session=none"), Status::NotFound);
        QVERIFY(storedSecrets().isEmpty());

        const auto api = client(&store);
        QVERIFY(api->cookie().isEmpty());
        QCOMPARE(loginWith(*api, "quenlo_session=first").message, QString());
        QCOMPARE(storedSecrets(), QByteArrayList { "quenlo_session=first" });

        QCOMPARE(loginWith(*api, "quenlo_session=second").message, QString());
        QCOMPARE(storedSecrets(), QByteArrayList { "quenlo_session=second" });

        // A restart: a new client reads the session back and sends it.
        LibsecretStore again;
        const auto restarted = client(&again);
        QCOMPARE(restarted->cookie(), QStringLiteral("quenlo_session=second"));
        m_server->route("GET", "/healthz", HttpsTestServer::json(200, "{}"));
        QVERIFY(restarted->call(QStringLiteral("/healthz"), std::nullopt).ok());
        QCOMPARE(m_server->requests().last().values("Cookie"), QByteArrayList { "quenlo_session=second" });
        // The application's own client finds it through the system store.
        QCOMPARE(QuenloAPI().cookie(), QStringLiteral("quenlo_session=second"));
        QVERIFY(QuenloAPI(false).cookie().isEmpty());
    }

    void storedBytes_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("usable"); // becomes the session of a new client
        QTest::newRow("UTF-8 text") << QByteArray("quenlo_session=会话") << true;
        QTest::newRow("long value") << QByteArray("quenlo_session=") + QByteArray(4000, 'v') << true;
        QTest::newRow("invalid UTF-8") << QByteArray("quenlo_session=\xff\xfe\x80") << false;
        QTest::newRow("NUL inside") << QByteArray("quenlo_session=a\0b", 18) << false;
    }
    void storedBytes()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, usable);
        LibsecretStore store;
        QCOMPARE(store.add("quenlo_session=placeholder"), Status::Ok);
        QCOMPARE(store.update(bytes), Status::Ok);
        const SecretStore::Read read = store.read();
        QCOMPARE(read.status, Status::Ok);
        QCOMPARE(read.bytes, bytes);
        QCOMPARE(client(&store)->cookie(), usable ? QString::fromUtf8(bytes) : QString());
        QCOMPARE(storedSecrets().size(), 1);
    }

    void lockedCollectionFails()
    {
        LibsecretStore store;
        QCOMPARE(store.add("quenlo_session=before"), Status::Ok);
        const QString collection = KeyringDaemon::loginCollection();
        QVERIFY(!collection.isEmpty());
        const Run lock = run("gdbus",
            busCall("org.freedesktop.secrets", "/org/freedesktop/secrets", "org.freedesktop.Secret.Service.Lock",
                { "['" + collection + "']" }));
        QCOMPARE(lock.exitCode, 0);

        // No prompt can be shown here, so the item stays locked: that is a failure, never "absent".
        QCOMPARE(store.read().status, Status::Failed);
        QCOMPARE(store.update("quenlo_session=during"), Status::Failed);
        QCOMPARE(store.add("quenlo_session=during"), Status::Failed);
        const auto api = client(&store);
        QVERIFY(api->cookie().isEmpty());
        QCOMPARE(loginWith(*api, "quenlo_session=during").message, QStringLiteral("无法更新钥匙串登录状态"));
        QCOMPARE(api->cookie(), QStringLiteral("quenlo_session=during"));

        // Logging in again unlocks the keyring: nothing was written while it was locked.
        m_keyring.stop();
        const QString restarted = m_keyring.start();
        QVERIFY2(restarted.isEmpty(), qPrintable(restarted));
        QCOMPARE(storedSecrets(), QByteArrayList { "quenlo_session=before" });
        QCOMPARE(store.read().bytes, QByteArray("quenlo_session=before"));
    }

    void secretsStayInTheKeyring()
    {
        const QString code = QStringLiteral("login-code-7f3a9c21");
        const QByteArray value = "cookie-value-51be02d4";
        LibsecretStore store;
        const auto api = client(&store);
        QCOMPARE(loginWith(*api, "quenlo_session=" + value, code).message, QString());
        QVERIFY(m_server->requests().first().body.contains(code.toUtf8()));
        QCOMPARE(storedSecrets(), QByteArrayList { "quenlo_session=" + value });

        // gnome-keyring keeps its files under the data folder; nothing else may hold either text.
        const QString keyrings = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/keyrings/";
        QVERIFY(!QDir(keyrings).entryList(QDir::Files).isEmpty());
        QStringList leaks;
        for (const char *variable :
            { "HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR", "TMPDIR" }) {
            const QString root = qEnvironmentVariable(variable);
            if (root.isEmpty())
                continue;
            QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
            while (it.hasNext()) {
                const QString path = it.next();
                QFile file(path);
                if (path.startsWith(keyrings) || !it.fileInfo().isFile() || !file.open(QIODevice::ReadOnly))
                    continue;
                const QByteArray content = file.readAll();
                if (content.contains(code.toUtf8()) || content.contains(value))
                    leaks.append(path);
            }
        }
        QVERIFY2(leaks.isEmpty(), qPrintable(leaks.join(", ")));
    }

    void cleanupTestCase() { m_keyring.stop(); }
};

QTEST_GUILESS_MAIN(TestLibsecretStore)
#include "tst_libsecretstore.moc"
