#include "fakehttpserver.h"
#include "net/curlglobal.h"
#include "net/httpcall.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QtTest>

using namespace quenlo;
using quenlo::test::FakeHttpServer;
using quenlo::test::residentGrowthKiB;

Q_DECLARE_METATYPE(std::optional<QJsonObject>)
Q_DECLARE_METATYPE(FakeHttpServer::Reply::Endless)

class TestHttpCall final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() { m_server = std::make_unique<FakeHttpServer>(); }
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
        QTest::newRow("200 just under the limit") << 200 << QByteArray(replyLimit - 65536, ' ') << false;
    }
    void statusAndBodyComeThrough()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, isObject);
        m_server->route("GET", "/api/version", FakeHttpServer::json(status, body));
        const HTTPReply reply = httpCall(address(), "/api/version");
        QCOMPARE(reply.status, qint64(status));
        QCOMPARE(reply.body, body);
        QVERIFY(reply.reachable());
        QCOMPARE(reply.json().has_value(), isObject);
    }

    void requestShape_data()
    {
        QTest::addColumn<QString>("method");
        QTest::addColumn<std::optional<QJsonObject>>("body");
        QTest::addColumn<QByteArray>("sent"); // the body the server receives
        QTest::addColumn<QByteArray>("contentType"); // empty: no such header
        const std::optional<QJsonObject> none;
        QTest::newRow("GET without body") << "GET" << none << QByteArray() << QByteArray();
        QTest::newRow("POST without body") << "POST" << none << QByteArray() << QByteArray();
        QTest::newRow("POST with body")
            << "POST" << std::optional(QJsonObject{{"text", "https://example.com/a b"}, {"n", 3}})
            << QByteArray("{\"n\":3,\"text\":\"https://example.com/a b\"}") << QByteArray("application/json");
        QTest::newRow("POST with empty object")
            << "POST" << std::optional(QJsonObject{}) << QByteArray("{}") << QByteArray("application/json");
    }
    void requestShape()
    {
        QFETCH(QString, method);
        QFETCH(std::optional<QJsonObject>, body);
        QFETCH(QByteArray, sent);
        QFETCH(QByteArray, contentType);
        m_server->setFallback(FakeHttpServer::json(202, ""));
        QCOMPARE(httpCall(address(), "/api/x", method, body).status, qint64(202));
        const auto requests = m_server->requests();
        QCOMPARE(requests.size(), 1);
        const auto &r = requests.first();
        QCOMPARE(r.method, method.toUtf8());
        QCOMPARE(r.headers.value("x-quenlo"), QByteArray("1"));
        QCOMPARE(r.headers.value("content-type"), contentType);
        QCOMPARE(r.headers.contains("content-type"), !contentType.isEmpty());
        QVERIFY(!r.headers.contains("expect"));
        QCOMPARE(r.body, sent);
    }

    void queryStringKeptVerbatim()
    {
        m_server->setFallback(FakeHttpServer::json(200, "{}"));
        httpCall(address(), "/api/items?filter=a,b&page=2");
        QCOMPARE(m_server->requests().value(0).target, QByteArray("/api/items?filter=a,b&page=2"));
    }

    void hangingServerGivesUpWithinTimeoutPlusTwo()
    {
        FakeHttpServer::Reply hang;
        hang.hang = true;
        m_server->route("GET", "/api/version", hang);
        QElapsedTimer t;
        t.start();
        const HTTPReply reply = httpCall(address(), "/api/version", "GET", std::nullopt, 1);
        QCOMPARE(reply.status, qint64(-1));
        QVERIFY(reply.body.isEmpty());
        QVERIFY(!reply.reachable());
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
        QVERIFY(t.elapsed() >= 900);
    }

    void replyPastTheLimitFails_data()
    {
        QTest::addColumn<FakeHttpServer::Reply::Endless>("endless");
        QTest::newRow("endless body") << FakeHttpServer::Reply::Endless::Body;
        QTest::newRow("endless headers") << FakeHttpServer::Reply::Endless::Headers;
    }
    void replyPastTheLimitFails()
    {
        QFETCH(FakeHttpServer::Reply::Endless, endless);
        FakeHttpServer::Reply flood;
        flood.endless = endless;
        m_server->route("GET", "/api/menu-status", flood);
        m_server->route("GET", "/api/version", FakeHttpServer::json(200, "{}"));
        HTTPReply reply{200, "unset"};
        QElapsedTimer t;
        t.start();
        const qint64 growthKiB = residentGrowthKiB(
            [&] { reply = httpCall(address(), "/api/menu-status", "GET", std::nullopt, 5); });
        QCOMPARE(reply.status, qint64(-1));
        QVERIFY(reply.body.isEmpty());
        // The server reaches the limit within tens of milliseconds; the 5 s time-out must not be
        // what ends the call, and what was read must not stay.
        QVERIFY2(t.elapsed() < 1500, qPrintable(QString::number(t.elapsed())));
        QVERIFY2(growthKiB >= 0 && growthKiB < 16 * 1024, qPrintable(QString::number(growthKiB)));
        QCOMPARE(httpCall(address(), "/api/version").status, qint64(200));
    }

    void slowAnswerWithinTimeoutArrives()
    {
        FakeHttpServer::Reply slow = FakeHttpServer::json(200, "{\"ok\":true}");
        slow.delayMs = 1500;
        m_server->route("POST", "/api/clipboard-add", slow);
        const HTTPReply reply = httpCall(address(), "/api/clipboard-add", "POST", QJsonObject{{"text", "x"}}, 4);
        QCOMPARE(reply.status, qint64(200));
    }

    void droppedConnectionIsNoAnswer()
    {
        FakeHttpServer::Reply drop;
        drop.dropSilently = true;
        m_server->route("GET", "/api/version", drop);
        QCOMPARE(httpCall(address(), "/api/version").status, qint64(-1));
    }

    void closedPortFailsAtOnce()
    {
        const quint16 port = m_server->port();
        m_server.reset();
        QElapsedTimer t;
        t.start();
        const HTTPReply reply = httpCall(ServiceAddress{port}, "/api/version");
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
        const HTTPReply reply = httpCall(ServiceAddress{port}, "/api/version");
        QCOMPARE(reply.status, qint64(-1));
        QVERIFY(reply.body.isEmpty());
        QVERIFY(m_server->requests().isEmpty());
    }

private:
    ServiceAddress address() const { return {m_server->port()}; }

    std::unique_ptr<FakeHttpServer> m_server;
};

QTEST_GUILESS_MAIN(TestHttpCall)
#include "tst_httpcall.moc"
