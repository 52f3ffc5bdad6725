#include "net/quenloapi.h"
#include "platform/libsecretstore.h"

#include "httpsserver.h"
#include "testenv.h"

#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <gio/gio.h>

using namespace quenlo;
using namespace quenlo::test;

using Status = SecretStore::Status;

// LibsecretStore where no Secret Service answers: every call fails, and none of them may look
// like a missing item, or the client would try to create one.
class TestLibsecretOffline final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;
    QProcess m_bus;
    GDBusConnection *m_connection = nullptr;

    /// A session bus of our own that can activate nothing, so nobody owns org.freedesktop.secrets.
    QByteArray startEmptyBus()
    {
        const QString folder = makeFolder(QStringLiteral("empty-bus"));
        // Plain literals: moc mistakes "//" inside a raw string for a comment.
        const QByteArray config = "<busconfig>\n"
                                  "  <type>session</type>\n"
                                  "  <listen>unix:path="
            + folder.toUtf8()
            + "/bus</listen>\n"
              "  <auth>EXTERNAL</auth>\n"
              "  <policy context=\"default\">\n"
              "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
              "    <allow eavesdrop=\"true\"/>\n"
              "    <allow own=\"*\"/>\n"
              "  </policy>\n"
              "</busconfig>\n";
        if (!writeFile(folder + "/bus.conf", config))
            return {};
        m_bus.start("dbus-daemon", { "--nofork", "--print-address=1", "--config-file=" + folder + "/bus.conf" });
        if (!m_bus.waitForStarted(5000))
            return {};
        while (!m_bus.canReadLine() && m_bus.waitForReadyRead(5000)) { }
        return m_bus.readLine().trimmed();
    }

private Q_SLOTS:
    void initTestCase()
    {
        unsetProxyVariables();
        m_certs = TestCertificates::make(makeFolder(QStringLiteral("certs")));
        QVERIFY2(m_certs.error.isEmpty(), qPrintable(m_certs.error));
        m_server = std::make_unique<HttpsTestServer>(m_certs.serverCert, m_certs.serverKey);
        QVERIFY2(m_server->error().isEmpty(), qPrintable(m_server->error()));
        m_server->route("POST", "/api/session",
            HttpsTestServer::json(200, "{}", { { "Set-Cookie", "quenlo_session=offline; Path=/" } }));
    }

    void everyCallFails_data()
    {
        QTest::addColumn<QString>("bus");
        QTest::newRow("dead socket") << QStringLiteral("dead");
        QTest::newRow("no bus address") << QStringLiteral("none");
        // Last: once GIO has connected to a bus it keeps that connection for the process.
        QTest::newRow("bus without a Secret Service") << QStringLiteral("empty");
    }
    void everyCallFails()
    {
        QFETCH(QString, bus);
        if (bus == QStringLiteral("dead")) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + scratchDir().toUtf8() + "/nobody-listens-here");
        } else if (bus == QStringLiteral("none")) {
            qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        } else {
            if (QStandardPaths::findExecutable("dbus-daemon").isEmpty())
                QSKIP("dbus-daemon is not installed");
            const QByteArray address = startEmptyBus();
            QVERIFY2(!address.isEmpty(), "the private bus did not start");
            qputenv("DBUS_SESSION_BUS_ADDRESS", address);
            // GIO's shared session connection would end the process when this bus goes away.
            GError *error = nullptr;
            m_connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
            QVERIFY2(m_connection, error ? error->message : "no connection");
            g_dbus_connection_set_exit_on_close(m_connection, FALSE);
        }

        LibsecretStore store;
        QCOMPARE(store.read().status, Status::Failed);
        QCOMPARE(store.update("quenlo_session=x"), Status::Failed);
        QCOMPARE(store.add("quenlo_session=x"), Status::Failed);

        QVERIFY(QuenloAPI().cookie().isEmpty());
        QuenloAPI api(m_server->origin(), m_certs.caCert, &store);
        const QuenloResult login = api.call(
            QStringLiteral("/api/session"), QJsonObject { { QStringLiteral("token"), QStringLiteral("1") } });
        QCOMPARE(login.message, QStringLiteral("无法更新钥匙串登录状态"));
        QCOMPARE(api.cookie(), QStringLiteral("quenlo_session=offline"));
    }

    void cleanupTestCase()
    {
        if (m_bus.state() != QProcess::NotRunning) {
            m_bus.terminate();
            m_bus.waitForFinished(5000);
        }
        if (m_connection)
            g_object_unref(m_connection);
    }
};

QTEST_GUILESS_MAIN(TestLibsecretOffline)
#include "tst_libsecretoffline.moc"
