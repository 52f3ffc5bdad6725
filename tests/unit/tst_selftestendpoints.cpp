// quenlo-menubar --selftest as a child process, reading the two status endpoints from an
// in-process stand-in for the library server: every kind of reply each of them can give, and
// what it makes of the line, the summary and the exit status. The children run with TZ=UTC.

#include "selftestbench.h"

#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(quenlo::test::FakeHttpServer::Reply)

using namespace quenlo::test;

namespace {

using Reply = FakeHttpServer::Reply;

// 2100-01-01 00:00 UTC: a date in no year's "today" or "tomorrow".
const QByteArray farNext = "4102444800";

Reply text(int status, const QByteArray &body)
{
    Reply reply;
    reply.status = status;
    reply.body = body;
    reply.contentType = "text/html";
    return reply;
}

Reply dropped()
{
    Reply reply;
    reply.dropSilently = true;
    return reply;
}

} // namespace

class TestSelfTestEndpoints final : public QObject {
    Q_OBJECT

    std::unique_ptr<SelfTestBench> m_bench;

private Q_SLOTS:
    void init() { m_bench = std::make_unique<SelfTestBench>(); }
    void cleanup() { m_bench.reset(); }

    void menuStatus_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("line");

        const auto ok = [](const char *counts) { return QStringLiteral("OK: 菜单状态 /api/menu-status：") + counts; };
        const auto fail = [](const char *why) { return QStringLiteral("FAIL: 菜单状态 /api/menu-status：") + why; };
        using F = FakeHttpServer;
        QTest::newRow("counts") << F::json(200, R"({"unread": 3, "jobs": [{}], "queue": []})")
                                << ok("未读 3 条，运行中 1 个，排队 0 个");
        QTest::newRow("empty object") << F::json(200, "{}") << ok("未读 -1 条，运行中 0 个，排队 0 个");
        QTest::newRow("fraction cut off") << F::json(200, R"({"unread": 2.9, "jobs": [{}, {}], "queue": [{}, {}, {}]})")
                                          << ok("未读 2 条，运行中 2 个，排队 3 个");
        QTest::newRow("negative fraction toward zero")
            << F::json(200, R"({"unread": -2.5})") << ok("未读 -2 条，运行中 0 个，排队 0 个");
        QTest::newRow("wrong types") << F::json(200, R"({"unread": "5", "jobs": {}, "queue": "x"})")
                                     << ok("未读 -1 条，运行中 0 个，排队 0 个");
        QTest::newRow("arrays not all objects") << F::json(200, R"({"unread": 0, "jobs": [{}, 1], "queue": [null]})")
                                                << ok("未读 0 条，运行中 0 个，排队 0 个");
        QTest::newRow("body not JSON") << text(200, "<html>busy</html>") << fail("HTTP 200");
        QTest::newRow("JSON array") << F::json(200, "[{}]") << fail("HTTP 200");
        QTest::newRow("empty body") << F::json(200, "") << fail("HTTP 200");
        QTest::newRow("server error with object") << F::json(500, R"({"error": "db"})") << fail("HTTP 500");
        QTest::newRow("no content") << F::json(204, "") << fail("HTTP 204");
        QTest::newRow("redirect not followed") << F::json(302, "{}") << fail("HTTP 302");
        QTest::newRow("not offered yet") << F::json(404, "{}") << menuSkipLine;
        QTest::newRow("connection dropped") << dropped() << fail("连不上服务");
    }

    void menuStatus()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, line);

        m_bench->server().route("GET", "/api/menu-status", reply);
        const QString root = writeProject();
        const ChildRun run = m_bench->run({ QStringLiteral("--selftest"), root });
        verifyQuiet(run);
        const bool failed = line.startsWith(QStringLiteral("FAIL: "));
        QCOMPARE(run.lines(), selfTestLines(root, reused77Line, line, autosyncSkipLine, agentOkLine(run.pid), failed));
        QCOMPARE(run.exitCode, failed ? 1 : 0);
        QCOMPARE(m_bench->server().requestsFor("GET", "/api/menu-status").size(), 1);
    }

    void autosync_data()
    {
        QTest::addColumn<Reply>("reply");
        QTest::addColumn<QString>("line");

        const auto ok = [](const char *schedule) { return QStringLiteral("OK: 自动同步 /api/autosync：") + schedule; };
        const auto fail = [](const char *why) { return QStringLiteral("FAIL: 自动同步 /api/autosync：") + why; };
        const auto reply = [](const QByteArray &body) { return FakeHttpServer::json(200, body); };
        QTest::newRow("off, next ignored") << reply(R"({"hours": 0, "next": 100})") << ok("关闭");
        QTest::newRow("every 6 hours with next")
            << reply(R"({"hours": 6, "next": )" + farNext + "}") << ok("每 6 小时，下次 1月1日 00:00");
        QTest::newRow("daily with next") << reply(R"({"hours": 24, "next": )" + farNext + ".9}")
                                         << ok("每天，下次 1月1日 00:00");
        QTest::newRow("fractional hours")
            << reply(R"({"hours": 6.9, "next": )" + farNext + "}") << ok("每 6 小时，下次 1月1日 00:00");
        QTest::newRow("daily without next") << reply(R"({"hours": 24})") << ok("每天");
        QTest::newRow("next zero") << reply(R"({"hours": 24, "next": 0})") << ok("每天");
        QTest::newRow("next negative") << reply(R"({"hours": 6, "next": -5})") << ok("每 6 小时");
        QTest::newRow("next as text") << reply("{\"hours\": 6, \"next\": \"" + farNext + "\"}") << ok("每 6 小时");
        QTest::newRow("hours as text") << reply(R"({"hours": "6", "next": )" + farNext + "}") << ok("关闭");
        QTest::newRow("negative hours") << reply(R"({"hours": -3, "next": )" + farNext + "}") << ok("每 -3 小时");
        QTest::newRow("empty object") << reply("{}") << ok("关闭");
        QTest::newRow("body not JSON") << text(200, "off") << fail("HTTP 200");
        QTest::newRow("server error") << FakeHttpServer::json(503, "{}") << fail("HTTP 503");
        QTest::newRow("not offered yet") << FakeHttpServer::json(404, "") << autosyncSkipLine;
        QTest::newRow("connection dropped") << dropped() << fail("连不上服务");
    }

    void autosync()
    {
        QFETCH(Reply, reply);
        QFETCH(QString, line);

        m_bench->server().route("GET", "/api/autosync", reply);
        const QString root = writeProject();
        const ChildRun run = m_bench->run({ QStringLiteral("--selftest"), root });
        verifyQuiet(run);
        const bool failed = line.startsWith(QStringLiteral("FAIL: "));
        QCOMPARE(run.lines(), selfTestLines(root, reused77Line, menuSkipLine, line, agentOkLine(run.pid), failed));
        QCOMPARE(run.exitCode, failed ? 1 : 0);
    }
};

QTEST_GUILESS_MAIN(TestSelfTestEndpoints)
#include "tst_selftestendpoints.moc"
