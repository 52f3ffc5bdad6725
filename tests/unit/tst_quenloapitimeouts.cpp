#include "net/quenloapi.h"

#include "fakehttpserver.h"
#include "httpsserver.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QtTest>

#include <curl/curl.h>

using namespace quenlo;
using namespace quenlo::test;

// The NAS client's two limits, shrunk to fractions of a second: the idle limit ends a call
// after that long without a single byte, the deadline ends any call still running.
class TestQuenloApiTimeouts final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;
    FakeHttpServer m_mute; ///< accepts connections but never speaks TLS

private Q_SLOTS:
    void initTestCase()
    {
        unsetProxyVariables();
        m_certs = TestCertificates::make(makeFolder(QStringLiteral("certs")));
        QVERIFY2(m_certs.error.isEmpty(), qPrintable(m_certs.error));
        m_server = std::make_unique<HttpsTestServer>(m_certs.serverCert, m_certs.serverKey);
        QVERIFY2(m_server->error().isEmpty(), qPrintable(m_server->error()));
        HttpsTestServer::Route hang;
        hang.mode = HttpsTestServer::Route::Mode::Hang;
        m_server->route("GET", "/api/hang", hang);
        HttpsTestServer::Route trickle;
        trickle.mode = HttpsTestServer::Route::Mode::Trickle;
        trickle.trickleMs = 1200;
        trickle.trickleBytes = 10;
        m_server->route("GET", "/api/trickle", trickle);
        trickle.trickleMs = 200;
        trickle.trickleBytes = 2;
        trickle.hangAfterTrickle = true;
        m_server->route("GET", "/api/pause", trickle);
    }
    void init() { m_server->clearLog(); }

    void limits_data()
    {
        QTest::addColumn<bool>("tls"); // false: the peer never completes the handshake
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("idleMs");
        QTest::addColumn<int>("deadlineMs");
        QTest::addColumn<bool>("deadline"); // the deadline's message, else libcurl's time-out
        QTest::addColumn<QString>("text"); // all of the deadline's message, or a piece of libcurl's
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");

        const QString late = QStringLiteral("连接超时，请稍后重试");
        const QString idle = QString::fromUtf8(curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
        // Under one byte a second on average: a limit on the rate, not on silence, would end it.
        QTest::newRow("a byte every half idle limit runs to the deadline")
            << true << "/api/trickle" << 2400 << 3600 << true << late << 3600 << 4100;
        QTest::newRow("silence ends at the idle limit") << true << "/api/hang" << 400 << 1200 << false << idle << 400 << 900;
        // The last byte comes about 200 ms in; counted from the first, it would end at 400.
        QTest::newRow("silence after data ends an idle limit after the last byte")
            << true << "/api/pause" << 400 << 1200 << false << idle << 600 << 1100;
        QTest::newRow("silence through the deadline") << true << "/api/hang" << 2000 << 600 << true << late << 600 << 1100;
        QTest::newRow("a handshake that never ends is bounded by the idle limit")
            << false << "/api/hang" << 400 << 1200 << false << QStringLiteral("timeout") << 400 << 900;
    }
    void limits()
    {
        QFETCH(bool, tls);
        QFETCH(QString, path);
        QFETCH(int, idleMs);
        QFETCH(int, deadlineMs);
        QFETCH(bool, deadline);
        QFETCH(QString, text);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);

        const QString origin = tls ? m_server->origin() : QStringLiteral("https://127.0.0.1:%1").arg(m_mute.port());
        QuenloAPI api(origin, m_certs.caCert, nullptr, false, NasTimes { Milliseconds(idleMs), Milliseconds(deadlineMs) });
        QElapsedTimer clock;
        clock.start();
        const QuenloResult result = api.call(path, std::nullopt);
        const qint64 elapsed = clock.elapsed();

        QVERIFY(!result.ok());
        if (deadline) {
            QCOMPARE(result.domain, QuenloResult::Domain::Quenlo);
            QCOMPARE(result.code, 1);
            QCOMPARE(result.message, text);
        } else {
            QCOMPARE(result.domain, QuenloResult::Domain::Curl);
            QCOMPARE(result.code, int(CURLE_OPERATION_TIMEDOUT));
            QVERIFY2(result.message.contains(text, Qt::CaseInsensitive), qPrintable(result.message));
        }
        // libcurl's own timers may fire a few milliseconds before this clock reads their figure.
        QVERIFY2(elapsed >= minMs - 20 && elapsed < maxMs, qPrintable(QString::number(elapsed)));
        QCOMPARE(m_server->requests().size(), tls ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestQuenloApiTimeouts)
#include "tst_quenloapitimeouts.moc"
