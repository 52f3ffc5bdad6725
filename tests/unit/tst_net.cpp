// The local server's client: httpCall against a real server on loopback, the readers of its replies, the poll.

#include "fakehttpserver.h"
#include "net/curlglobal.h"
#include "net/statepoll.h"

#include <QtTest>

using namespace quenlo;
using quenlo::test::FakeHttpServer;
using Reply = FakeHttpServer::Reply;

namespace {

constexpr qint64 ours = -100, wrapped = -101; // in place of a port: the fake server's, and it plus 65536
const auto json = FakeHttpServer::json;

qint64 statusKiB(const QByteArray &field)
{
    QFile status("/proc/self/status");
    const QByteArray all = status.open(QIODevice::ReadOnly) ? status.readAll() : "";
    return all.mid(all.indexOf(field) + field.size()).trimmed().split(' ')[0].toLongLong();
}
/// One GET: "status body, asked N", and whether it ended outside [minMs, maxMs) or grew by 16 MiB or more.
QString call(const Reply &reply, double timeout = 2, qint64 port = ours, int minMs = 0, int maxMs = 1000)
{
    FakeHttpServer server;
    server.route("GET", "/api/x", reply);
    QFile clear("/proc/self/clear_refs"); // resets the peak (VmHWM) to the present size
    const bool reset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1 && clear.flush();
    const qint64 before = statusKiB("VmRSS:"), start = QDateTime::currentMSecsSinceEpoch();
    const qint64 to = port == ours ? server.port() : port == wrapped ? 65536 + server.port() : port;
    const HTTPReply got = httpCall({ to }, "/api/x", "GET", std::nullopt, timeout);
    const qint64 ms = QDateTime::currentMSecsSinceEpoch() - start, grew = statusKiB("VmHWM:") - before;
    const QString body = got.body.size() > 99 ? QString("%1 bytes").arg(got.body.size()) : got.body;
    const bool asan = qEnvironmentVariableIsSet("ASAN_OPTIONS"); // its quarantine keeps freed memory resident
    return QString("%1 %2, asked %3").arg(got.status).arg(body).arg(server.requests().size())
        + (ms >= minMs && ms < maxMs ? "" : QString(", took %1 ms").arg(ms))
        + ((reset && grew < 16 * 1024) || asan ? "" : QString(", grew %1 KiB").arg(grew));
}
/// The request as the server read it: its line, headers but Host and Accept, body.
QString sent(const QString &method, const std::optional<QJsonObject> &body = std::nullopt)
{
    FakeHttpServer server;
    server.setFallback(json(202, "{}"));
    httpCall({ server.port() }, "/x?a=b,c&d", method, body);
    const FakeHttpServer::Request r = server.requests().value(0);
    QStringList parts { r.method + ' ' + r.target };
    for (auto [name, value] : r.headers.asKeyValueRange())
        if (name != "host" && name != "accept")
            parts << name + "=" + value;
    return (parts << r.body).join(' ');
}
/// A menu state on one line: up or down, unread, [jobs], [queue], autosync as hours@next.
QString shown(const MenuState &s)
{
    QStringList jobs;
    for (const RunningJob &job : s.jobs)
        jobs << job.display();
    const QString autosync
        = s.autosyncKnown ? QString("%1@%2").arg(s.autosyncHours).arg(s.autosyncNext, 0, 'g', 15) : "-";
    const QString up = s.serviceUp ? "up" : "down", unread = s.unread ? QString::number(*s.unread) : "-";
    return QString("%1 %2 [%3] [%4] %5").arg(up, unread, jobs.join(" / "), s.queue.join(", "), autosync);
}
/// The transcription worker's switches: 1, 0 or - (absent) each.
QString shown(const std::optional<TranscriptionWorker> &w)
{
    const auto flag = [](std::optional<bool> value) { return value ? QString::number(*value) : "-"; };
    return w ? flag(w->enabled) + flag(w->ready) + flag(w->running) : "none";
}
/// One poll with these answers (and none from the worker): "state | what was asked".
QString polled(const Reply &menu, const Reply &version = json(200, "{}"),
    const Reply &sync = json(200, R"({"zsxq":{"running":true,"progress":40}})"))
{
    FakeHttpServer server;
    server.route("GET", "/api/menu-status", menu);
    server.route("GET", "/api/version", version);
    server.route("GET", "/api/sync-status", sync);
    const LocalPoll poll = pollLocal({ server.port() });
    QStringList asked;
    for (const FakeHttpServer::Request &r : server.requests())
        asked << r.target.mid(5).split('-')[0];
    return shown(poll.state) + " | " + asked.join(' ');
}

} // namespace

class TestNet final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void values_data()
    {
        QTest::addColumn<QStringList>("gotAndExpected");
        const auto row = [](auto tag, QString got, QString want) { QTest::newRow(tag) << QStringList { got, want }; };
        const auto object = [](const char *json) { return QJsonDocument::fromJson(json).object(); };
        const auto menu = [&](const char *json) { return shown(readMenuStatus(object(json))); };
        const auto sync = [&](const char *json, MenuState s = {}) { return readSyncStatus(object(json), s), shown(s); };
        const auto compact = [](auto... body) { return (QJsonDocument(body).toJson(QJsonDocument::Compact) + ...); };
        // Headers count towards the limit too; these take 94 bytes.
        const QByteArray full(replyLimit - 94, ' ');
        row("call: 200", call(json(200, R"({"version":"7"})")), R"(200 {"version":"7"}, asked 1)");
        row("call: a reply at the limit", call(json(200, full)), "200 4194210 bytes, asked 1");
        row("call: a byte past the limit", call(json(200, full + ' ')), "-1 , asked 1");
        row("call: an endless reply fails at once", call(Reply { .endless = true }, 5, ours, 0, 1500), "-1 , asked 1");
        row("call: slow answer in time", call(Reply { .delayMs = 600 }, 1.5, ours, 550, 1500), "200 , asked 1");
        row("call: hang, given up in time-out + 2 s", call(Reply { .hang = true }, 1, ours, 950, 3000), "-1 , asked 1");
        row("call: dropped connection", call(Reply { .dropSilently = true }), "-1 , asked 1");
        row("call: closed port", call({}, 2, test::freePort()), "-1 , asked 0");
        row("call: port 65536 + the server's", call({}, 2, wrapped), "-1 , asked 0");

        const QString typed = " content-type=application/json x-quenlo=1 ";
        row("request: GET, query as it is", sent("GET"), "GET /x?a=b,c&d x-quenlo=1 ");
        row("request: POST without body: no type", sent("POST"), "POST /x?a=b,c&d content-length=0 x-quenlo=1 ");
        row("request: POST", sent("POST", QJsonObject { { "text", "例 子" }, { "n", 3 } }),
            "POST /x?a=b,c&d content-length=24" + typed + R"({"n":3,"text":"例 子"})");
        row("request: GET with a body", sent("GET", QJsonObject {}), "GET /x?a=b,c&d content-length=2" + typed + "{}");

        row("menu: empty object", menu("{}"), "up - [] [] -");
        row("menu: unread", menu(R"({"unread":3})"), "up 3 [] [] -");
        row("menu: fractional unread unknown", menu(R"({"unread":3.5})"), "up - [] [] -");
        row("menu: job labels and lines", menu(R"({"jobs":[{"label":"自定义","kind":"zsxq","progress":12.9},
            {"kind":"zsxq","message":" 第 2 页\n"},{"kind":"rss"},{"label":""},{"kind":5,"progress":"9"}]})"),
            "up - [自定义 · 12% / 知识星球同步 · 第 2 页 / 同步任务 · 进行中 /  · 进行中 / 同步任务 · 进行中] [] -");
        row("menu: jobs not a list", menu(R"({"jobs":"none","unread":2,"queue":[{"kind":"dedao"}]})"),
            "up 2 [] [得到缓存] -");
        row("menu: a job not an object drops all", menu(R"({"jobs":[{"kind":"zsxq"},"x"]})"), "up - [] [] -");
        row("menu: queue", menu(R"({"queue":[{"label":"A"},{"kind":"youtube"},{}]})"),
            "up - [] [A, YouTube 下载, 同步任务] -");
        row("menu: autosync", menu(R"({"autosync":{"hours":6.8,"next":1700000000.5}})"), "up - [] [] 6@1700000000.5");
        row("menu: autosync not an object", menu(R"({"autosync":6})"), "up - [] [] -");
        row("menu: huge numbers held",
            menu(R"({"unread":1e300,"jobs":[{"kind":"all","progress":-1e300}],"autosync":{"hours":1e300}})"),
            "up 9200000000000000000 [更新知识星球 · -9200000000000000000%] [] 9200000000000000000@0");
        row("sync: running", sync(R"({"zsxq":{"running":true,"progress":40}})"), "down - [知识星球同步 · 40%] [] -");
        row("sync: not running", sync(R"({"zsxq":{"running":false},"dedao":{"running":"true"}})"), "down - [] [] -");
        row("sync: kind's label", sync(R"({"dedao":{"running":true,"label":"别","message":"下载"}})"),
            "down - [得到缓存 · 下载] [] -");
        row("sync: known kinds in table order",
            sync(R"({"youtube":{"running":true},"rss":{"running":true},"all":{"running":true}})"),
            "down - [更新知识星球 · 进行中 / YouTube 下载 · 进行中] [] -");
        row("sync: queue", sync(R"({"queue":[{"kind":"zsxq"},{"label":"B"}]})"), "down - [] [知识星球同步, B] -");
        const auto version = [](const char *body) { return readRunningVersion({ 500, body }).value_or("none"); };
        row("version: text, whatever the status", version(R"({"version":"42"})"), "42");
        row("version: a number is none", version(R"({"version":42})"), "none");
        const auto counts = [](auto c) { return QString("%1 %2 %3").arg(c.unread).arg(c.jobs).arg(c.queue); };
        row("counts", counts(readMenuStatusCounts(object(R"({"unread":7.9,"jobs":[{}],"queue":[{},{}]})"))), "7 1 2");
        const auto autosync = [](AutosyncSchedule a) { return QString("%1@%2").arg(a.hours).arg(a.next); };
        row("autosync", autosync(readAutosync(object(R"({"hours":12,"next":99.5})"))), "12@99.5");
        row("autosync of wrong types", autosync(readAutosync(object(R"({"hours":null,"next":"1"})"))), "0@0");
        row("worker", shown(readTranscriptionWorker({ 503, R"({"enabled":true,"running":false})" })), "1-0");
        row("worker: not an object", shown(readTranscriptionWorker({ 200, "[true]" })), "none");
        row("request bodies",
            compact(autosyncBody(6), syncAllBody(), transcriptionBody(false), clipboardAddBody("链接")),
            R"({"hours":6}{}{"enabled":false}{"text":"链接"})");

        const Reply none { .dropSilently = true };
        const QString all = " | menu version sync transcription", noSync = " | menu version transcription";
        row("poll: menu-status", polled(json(200, R"({"unread":3})")), "up 3 [] [] - | menu transcription");
        row("poll: 404, fallback", polled(json(404, "<html>")), "up - [知识星球同步 · 40%] [] -" + all);
        row("poll: 200 not an object, fallback", polled(json(200, "[1]")), "up - [知识星球同步 · 40%] [] -" + all);
        row("poll: sync-status not an object", polled(json(500, ""), {}, json(200, "x")), "up - [] [] -" + all);
        row("poll: version not 200", polled(json(404, ""), json(503, "")), "down - [] [] -" + noSync);
        row("poll: version no answer", polled(json(404, ""), none), "down - [] [] -" + noSync);
        // No fallback after no answer; the worker is still asked.
        row("poll: menu-status no answer", polled(none), "down - [] [] - | menu transcription");
    }
    void values()
    {
        QFETCH(QStringList, gotAndExpected);
        QCOMPARE(gotAndExpected[0], gotAndExpected[1]);
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "tst_net.moc"
