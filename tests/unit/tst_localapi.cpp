#include "net/localapi.h"

#include <QtTest>

using namespace quenlo;

namespace {

QJsonObject parse(const QByteArray &json) { return QJsonDocument::fromJson(json).object(); }

QString jobsText(const MenuState &s)
{
    QStringList parts;
    for (const auto &job : s.jobs)
        parts << job.display();
    return parts.join(" | ");
}

} // namespace

class TestLocalApi final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void menuStatus_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<qint64>("unread"); // -1: absent
        QTest::addColumn<QString>("jobs");
        QTest::addColumn<QStringList>("queue");
        QTest::addColumn<bool>("autosyncKnown");
        QTest::addColumn<qint64>("hours");
        QTest::addColumn<double>("next");
        QTest::newRow("empty object") << QByteArray("{}") << qint64(-1) << "" << QStringList() << false << qint64(0) << 0.0;
        QTest::newRow("integral unread") << QByteArray(R"({"unread":3})") << qint64(3) << "" << QStringList() << false
                                         << qint64(0) << 0.0;
        QTest::newRow("zero unread") << QByteArray(R"({"unread":0})") << qint64(0) << "" << QStringList() << false
                                     << qint64(0) << 0.0;
        QTest::newRow("fractional unread is unknown")
            << QByteArray(R"({"unread":3.5})") << qint64(-1) << "" << QStringList() << false << qint64(0) << 0.0;
        QTest::newRow("unread as string") << QByteArray(R"({"unread":"3"})") << qint64(-1) << "" << QStringList()
                                          << false << qint64(0) << 0.0;
        QTest::newRow("jobs as string, others used")
            << QByteArray(R"({"jobs":"none","unread":2,"queue":[{"kind":"dedao"}]})") << qint64(2) << ""
            << QStringList{"得到缓存"} << false << qint64(0) << 0.0;
        QTest::newRow("mixed jobs array counts as none")
            << QByteArray(R"({"jobs":[{"kind":"zsxq"},"x"]})") << qint64(-1) << "" << QStringList() << false
            << qint64(0) << 0.0;
        QTest::newRow("job labels by rule")
            << QByteArray(R"({"jobs":[{"label":"自定义","kind":"zsxq","progress":12.9},{"kind":"zsxq","message":"第 2 页"},
                                       {"kind":"rss"},{"label":""},{"kind":5,"progress":"9"}]})")
            << qint64(-1) << "自定义 · 12% | 知识星球同步 · 第 2 页 | 同步任务 · 进行中 |  · 进行中 | 同步任务 · 进行中"
            << QStringList() << false << qint64(0) << 0.0;
        QTest::newRow("negative fractional progress cut toward zero")
            << QByteArray(R"({"jobs":[{"kind":"all","progress":-0.7}]})") << qint64(-1) << "更新知识星球 · 0%"
            << QStringList() << false << qint64(0) << 0.0;
        QTest::newRow("message tidied to 24")
            << QByteArray(R"({"jobs":[{"kind":"all","message":"  一二三四五六七八九十一二三四五六七八九十一二三四五\n"}]})")
            << qint64(-1) << "更新知识星球 · 一二三四五六七八九十一二三四五六七八九十一二三四…" << QStringList()
            << false << qint64(0) << 0.0;
        QTest::newRow("queue labels") << QByteArray(R"({"queue":[{"label":"A"},{"kind":"youtube"},{}]})") << qint64(-1)
                                      << "" << QStringList{"A", "YouTube 下载", "同步任务"} << false << qint64(0) << 0.0;
        QTest::newRow("queue with non-object") << QByteArray(R"({"queue":[{"label":"A"},null]})") << qint64(-1) << ""
                                               << QStringList() << false << qint64(0) << 0.0;
        QTest::newRow("autosync full") << QByteArray(R"({"autosync":{"hours":6.8,"next":1700000000.5}})")
                                       << qint64(-1) << "" << QStringList() << true << qint64(6) << 1700000000.5;
        QTest::newRow("autosync empty object") << QByteArray(R"({"autosync":{}})") << qint64(-1) << "" << QStringList()
                                               << true << qint64(0) << 0.0;
        QTest::newRow("autosync wrong types") << QByteArray(R"({"autosync":{"hours":"6","next":true}})") << qint64(-1)
                                              << "" << QStringList() << true << qint64(0) << 0.0;
        QTest::newRow("autosync not an object") << QByteArray(R"({"autosync":6})") << qint64(-1) << ""
                                                << QStringList() << false << qint64(0) << 0.0;
    }
    void menuStatus()
    {
        QFETCH(QByteArray, body);
        QFETCH(qint64, unread);
        QFETCH(QString, jobs);
        QFETCH(QStringList, queue);
        QFETCH(bool, autosyncKnown);
        QFETCH(qint64, hours);
        QFETCH(double, next);
        const MenuState s = readMenuStatus(parse(body));
        QVERIFY(s.serviceUp);
        QCOMPARE(s.unread.value_or(-1), unread);
        QCOMPARE(jobsText(s), jobs);
        QCOMPARE(s.queue, queue);
        QCOMPARE(s.autosyncKnown, autosyncKnown);
        QCOMPARE(s.autosyncHours, hours);
        QCOMPARE(s.autosyncNext, next);
    }

    void syncStatus_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("jobs");
        QTest::addColumn<QStringList>("queue");
        QTest::newRow("one running") << QByteArray(R"({"zsxq":{"running":true,"progress":40}})") << "知识星球同步 · 40%"
                                     << QStringList();
        QTest::newRow("not running") << QByteArray(R"({"zsxq":{"running":false,"progress":40}})") << ""
                                     << QStringList();
        QTest::newRow("running as string") << QByteArray(R"({"zsxq":{"running":"true"}})") << "" << QStringList();
        QTest::newRow("label key ignored, kind's label used")
            << QByteArray(R"({"dedao":{"running":true,"label":"别的","message":"下载"}})") << "得到缓存 · 下载"
            << QStringList();
        QTest::newRow("unknown kind ignored") << QByteArray(R"({"rss":{"running":true}})") << "" << QStringList();
        QTest::newRow("in table order") << QByteArray(R"({"youtube":{"running":true},"all":{"running":true}})")
                                        << "更新知识星球 · 进行中 | YouTube 下载 · 进行中" << QStringList();
        QTest::newRow("queue") << QByteArray(R"({"queue":[{"kind":"zsxq"},{"label":"B"}]})") << ""
                               << QStringList{"知识星球同步", "B"};
    }
    void syncStatus()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, jobs);
        QFETCH(QStringList, queue);
        MenuState s;
        s.serviceUp = true;
        readSyncStatus(parse(body), s);
        QCOMPARE(jobsText(s), jobs);
        QCOMPARE(s.queue, queue);
        QVERIFY(!s.unread);
        QVERIFY(!s.autosyncKnown);
    }

    void runningVersion_data()
    {
        QTest::addColumn<qint64>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("version"); // "<none>" when absent
        QTest::newRow("string") << qint64(200) << QByteArray(R"({"version":"42"})") << "42";
        QTest::newRow("status ignored") << qint64(500) << QByteArray(R"({"version":"41"})") << "41";
        QTest::newRow("number") << qint64(200) << QByteArray(R"({"version":42})") << "<none>";
        QTest::newRow("missing") << qint64(200) << QByteArray(R"({})") << "<none>";
        QTest::newRow("not json") << qint64(200) << QByteArray("42") << "<none>";
        QTest::newRow("no answer") << qint64(-1) << QByteArray() << "<none>";
    }
    void runningVersion()
    {
        QFETCH(qint64, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, version);
        QCOMPARE(readRunningVersion(HTTPReply{status, body}).value_or("<none>"), version);
    }

    void selfTestCounts_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<qint64>("unread");
        QTest::addColumn<qint64>("jobs");
        QTest::addColumn<qint64>("queue");
        QTest::newRow("typical") << QByteArray(R"({"unread":3,"jobs":[{}],"queue":[]})") << qint64(3) << qint64(1)
                                 << qint64(0);
        QTest::newRow("empty") << QByteArray("{}") << qint64(-1) << qint64(0) << qint64(0);
        QTest::newRow("fraction cut") << QByteArray(R"({"unread":7.9})") << qint64(7) << qint64(0) << qint64(0);
        QTest::newRow("mixed arrays") << QByteArray(R"({"jobs":[{},1],"queue":[{},{}]})") << qint64(-1) << qint64(0)
                                      << qint64(2);
    }
    void selfTestCounts()
    {
        QFETCH(QByteArray, body);
        QFETCH(qint64, unread);
        QFETCH(qint64, jobs);
        QFETCH(qint64, queue);
        const auto c = readMenuStatusCounts(parse(body));
        QCOMPARE(c.unread, unread);
        QCOMPARE(c.jobs, jobs);
        QCOMPARE(c.queue, queue);
    }

    void autosyncAndWorker()
    {
        const auto a = readAutosync(parse(R"({"hours":12,"next":99.5})"));
        QCOMPARE(a.hours, qint64(12));
        QCOMPARE(a.next, 99.5);
        const auto b = readAutosync(parse(R"({"hours":null,"next":"1"})"));
        QCOMPARE(b.hours, qint64(0));
        QCOMPARE(b.next, 0.0);

        const auto w = readTranscriptionWorker(HTTPReply{503, R"({"enabled":true,"ready":"yes"})"});
        QVERIFY(w.has_value());
        QCOMPARE(w->enabled, std::optional<bool>(true));
        QVERIFY(!w->ready.has_value());
        QVERIFY(!w->running.has_value());
        QVERIFY(!readTranscriptionWorker(HTTPReply{200, "[true]"}).has_value());
        QVERIFY(!readTranscriptionWorker(HTTPReply{-1, {}}).has_value());
    }

    void hugeNumbersStayDefined()
    {
        const MenuState s = readMenuStatus(parse(R"({"unread":1e300,"jobs":[{"kind":"all","progress":-1e300}],
                                                   "autosync":{"hours":1e300}})"));
        QVERIFY(s.unread.has_value());
        QVERIFY(*s.unread > 0);
        QVERIFY(*s.jobs.front().progress < 0);
        QVERIFY(s.autosyncHours > 0);
    }

    void requestBodies()
    {
        QCOMPARE(QJsonDocument(autosyncBody(6)).toJson(QJsonDocument::Compact), QByteArray(R"({"hours":6})"));
        QCOMPARE(QJsonDocument(syncAllBody()).toJson(QJsonDocument::Compact), QByteArray("{}"));
        QCOMPARE(QJsonDocument(transcriptionBody(false)).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"enabled":false})"));
        QCOMPARE(QJsonDocument(clipboardAddBody("链接")).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"text":"链接"})"));
    }
};

QTEST_GUILESS_MAIN(TestLocalApi)
#include "tst_localapi.moc"
