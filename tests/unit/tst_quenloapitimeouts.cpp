#include "net/quenloapi.h"

#include "httpsserver.h"
#include "testenv.h"

#include <QElapsedTimer>
#include <QtTest>

#include <curl/curl.h>

using namespace quenlo;
using namespace quenlo::test;

// The NAS client's two limits, shrunk to a second and 2.5 s: no data for the idle limit is
// libcurl's own failure; no complete answer within the deadline is the client's time-out.
const NasTimes times { Milliseconds(1000), Milliseconds(2500) };

class TestQuenloApiTimeouts final : public QObject {
    Q_OBJECT

    TestCertificates m_certs;
    std::unique_ptr<HttpsTestServer> m_server;

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
        m_server->route("GET", "/api/trickle", trickle);
    }

    void silentServerEndsWithLibcurlsError()
    {
        QuenloAPI api(m_server->origin(), m_certs.caCert, nullptr, false, times);
        QElapsedTimer clock;
        clock.start();
        const QuenloResult result = api.call(QStringLiteral("/api/hang"), std::nullopt);
        const qint64 elapsed = clock.elapsed();

        QVERIFY(!result.ok());
        QCOMPARE(result.domain, QuenloResult::Domain::Curl);
        QCOMPARE(result.code, int(CURLE_OPERATION_TIMEDOUT));
        QVERIFY2(result.message.contains(QStringLiteral("too slow")), qPrintable(result.message));
        QVERIFY2(elapsed >= 950 && elapsed < 2400, qPrintable(QString::number(elapsed)));
        QCOMPARE(m_server->requests().size(), 1);
    }

    void tricklePastTheDeadlineTimesOut()
    {
        QuenloAPI api(m_server->origin(), m_certs.caCert, nullptr, false, times);
        QElapsedTimer clock;
        clock.start();
        const QuenloResult result = api.call(QStringLiteral("/api/trickle"), std::nullopt);
        const qint64 elapsed = clock.elapsed();

        QVERIFY(!result.ok());
        QCOMPARE(result.domain, QuenloResult::Domain::Quenlo);
        QCOMPARE(result.code, 1);
        QCOMPARE(result.message, QStringLiteral("连接超时，请稍后重试"));
        QVERIFY2(elapsed >= 2450 && elapsed < 3500, qPrintable(QString::number(elapsed)));
    }
};

QTEST_GUILESS_MAIN(TestQuenloApiTimeouts)
#include "tst_quenloapitimeouts.moc"
