#include "app/processvalues.h"
#include "fakehttpserver.h"
#include "net/httpcall.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QtTest>

using namespace quenlo;
using quenlo::test::FakeHttpServer;

class TestHttpCall final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { m_server = std::make_unique<FakeHttpServer>(); setServicePort(m_server->port()); }
    void cleanup() { m_server.reset(); }

    void statusAndBodyComeThrough_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("isObject");
        QTest::newRow("200 object") << 200 << QByteArray("{\"version\":\"7\"}") << true;
        QTest::newRow("200 empty object") << 200 << QByteArray("{}") << true;
        QTest::newRow("404 html") << 404 << QByteArray("<html>nope</html>") << false;
        QTest::newRow("500 array") << 500 << QByteArray("[1,2]") << false;
        QTest::newRow("200 null") << 200 << QByteArray("null") << false;
        QTest::newRow("200 bare number") << 200 << QByteArray("42") << false;
        QTest::newRow("202 empty") << 202 << QByteArray() << false;
        QTest::newRow("200 truncated json") << 200 << QByteArray("{\"a\":") << false;
    }
    void statusAndBodyComeThrough()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, isObject);
        m_server->route("GET", "/api/version", FakeHttpServer::json(status, body));
        const HTTPReply reply = httpCall("/api/version");
        QCOMPARE(reply.status, qint64(status));
        QCOMPARE(reply.body, body);
        QVERIFY(reply.reachable());
        QCOMPARE(reply.json().has_value(), isObject);
    }

    void headersWithoutBody()
    {
        m_server->route("GET", "/api/menu-status", FakeHttpServer::json(200, "{}"));
        httpCall("/api/menu-status");
        const auto requests = m_server->requests();
        QCOMPARE(requests.size(), 1);
        const auto &r = requests.first();
        QCOMPARE(r.method, QByteArray("GET"));
        QCOMPARE(r.headers.value("x-quenlo"), QByteArray("1"));
        QVERIFY(!r.headers.contains("content-type"));
        QVERIFY(!r.headers.contains("expect"));
        QVERIFY(r.body.isEmpty());
    }

    void headersAndCompactBodyWithBody()
    {
        m_server->route("POST", "/api/clipboard-add", FakeHttpServer::json(202, ""));
        const QJsonObject body{{"text", "https://example.com/a b"}, {"n", 3}};
        const HTTPReply reply = httpCall("/api/clipboard-add", "POST", body, 20);
        QCOMPARE(reply.status, qint64(202));
        const auto r = m_server->requests().value(0);
        QCOMPARE(r.method, QByteArray("POST"));
        QCOMPARE(r.headers.value("x-quenlo"), QByteArray("1"));
        QCOMPARE(r.headers.value("content-type"), QByteArray("application/json"));
        QCOMPARE(r.body, QByteArray("{\"n\":3,\"text\":\"https://example.com/a b\"}"));
        QCOMPARE(QJsonDocument::fromJson(r.body).object(), body);
    }

    void emptyObjectBodyIsSent()
    {
        m_server->route("POST", "/api/sync-all", FakeHttpServer::json(200, "{\"state\":\"started\"}"));
        httpCall("/api/sync-all", "POST", QJsonObject{});
        const auto r = m_server->requests().value(0);
        QCOMPARE(r.body, QByteArray("{}"));
        QCOMPARE(r.headers.value("content-type"), QByteArray("application/json"));
    }

    void queryStringKeptVerbatim()
    {
        m_server->setFallback(FakeHttpServer::json(200, "{}"));
        httpCall("/api/items?filter=a,b&page=2");
        QCOMPARE(m_server->requests().value(0).target, QByteArray("/api/items?filter=a,b&page=2"));
    }

    void hangingServerGivesUpWithinTimeoutPlusTwo()
    {
        FakeHttpServer::Reply hang;
        hang.hang = true;
        m_server->route("GET", "/api/version", hang);
        QElapsedTimer t;
        t.start();
        const HTTPReply reply = httpCall("/api/version", "GET", std::nullopt, 1);
        QCOMPARE(reply.status, qint64(-1));
        QVERIFY(reply.body.isEmpty());
        QVERIFY(!reply.reachable());
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(t.elapsed() >= 900);
    }

    void slowAnswerWithinTimeoutArrives()
    {
        FakeHttpServer::Reply slow = FakeHttpServer::json(200, "{\"ok\":true}");
        slow.delayMs = 1500;
        m_server->route("POST", "/api/clipboard-add", slow);
        const HTTPReply reply = httpCall("/api/clipboard-add", "POST", QJsonObject{{"text", "x"}}, 4);
        QCOMPARE(reply.status, qint64(200));
    }

    void droppedConnectionIsNoAnswer()
    {
        FakeHttpServer::Reply drop;
        drop.dropSilently = true;
        m_server->route("GET", "/api/version", drop);
        QCOMPARE(httpCall("/api/version").status, qint64(-1));
    }

    void closedPortFailsAtOnce()
    {
        const quint16 port = m_server->port();
        m_server.reset();
        setServicePort(port);
        QElapsedTimer t;
        t.start();
        const HTTPReply reply = httpCall("/api/version");
        QCOMPARE(reply.status, qint64(-1));
        QVERIFY(t.elapsed() < 1000);
    }

    void impossiblePortsAreUnreachable_data()
    {
        QTest::addColumn<qint64>("port");
        QTest::newRow("zero") << qint64(0);
        QTest::newRow("minus one") << qint64(-1);
        QTest::newRow("above 65535") << qint64(65536 + 80);
        QTest::newRow("huge") << std::numeric_limits<qint64>::max();
    }
    void impossiblePortsAreUnreachable()
    {
        QFETCH(qint64, port);
        setServicePort(port);
        const HTTPReply reply = httpCall("/api/version");
        QCOMPARE(reply.status, qint64(-1));
        QVERIFY(reply.body.isEmpty());
        QVERIFY(m_server->requests().isEmpty());
    }

private:
    std::unique_ptr<FakeHttpServer> m_server;
};

QTEST_GUILESS_MAIN(TestHttpCall)
#include "tst_httpcall.moc"
