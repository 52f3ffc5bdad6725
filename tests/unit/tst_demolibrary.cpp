// The demo library as a real child process, read through the same calls and readers the
// companion uses, so the demo and the supervisor's tests stand on a believable server: its
// API, its jobs and settings, and how it runs as a process (port, output streams, signals,
// refusals to start).

#include "demoserver.h"
#include "fakehttpserver.h"
#include "net/localapi.h"
#include "processinfo.h"
#include "testenv.h"

#include <QDateTime>
#include <QJsonArray>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

namespace {

bool hasHan(const QString &text)
{
    static const QRegularExpression han(QStringLiteral("\\p{Han}"));
    return han.match(text).hasMatch();
}

} // namespace

class TestDemoLibrary final : public QObject {
    Q_OBJECT

    // One server for the checks that only read or add, started once.
    QString m_sharedRoot;
    ServiceAddress m_shared;
    std::unique_ptr<DemoServer> m_sharedDemo;
    // A fresh one for each check of a whole run.
    QString m_root;
    ServiceAddress m_own;
    std::unique_ptr<DemoServer> m_demo;

    static MenuState menuStatus(const ServiceAddress &server)
    {
        const std::optional<QJsonObject> object = ask(server, endpoints::menuStatus).json();
        return object ? readMenuStatus(*object) : MenuState {};
    }
    static AutosyncSchedule autosync(const ServiceAddress &server)
    {
        return readAutosync(ask(server, endpoints::autosyncGet).json().value_or(QJsonObject {}));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_sharedRoot = copyDemoLibrary(QStringLiteral("shared"));
        m_shared.port = freePort();
        m_sharedDemo = std::make_unique<DemoServer>(m_sharedRoot);
        QVERIFY(m_sharedDemo->start(quint16(m_shared.port)));
    }
    void cleanupTestCase() { m_sharedDemo.reset(); }

    void init()
    {
        m_root = copyDemoLibrary();
        m_own.port = freePort();
        m_demo = std::make_unique<DemoServer>(m_root);
    }
    void cleanup()
    {
        m_demo.reset();
        endListeners(quint16(m_own.port), 0);
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        const auto row = [](const char *name, const char *method, const char *path, const QByteArray &body, int status) {
            QTest::newRow(name) << QByteArray(method) << QByteArray(path) << body << status;
        };
        const auto link = [](const char *text) { return QByteArray("{\"text\": \"") + text + "\"}"; };
        row("version", "GET", "/api/version", {}, 200);
        row("menu status with query", "GET", "/api/menu-status?x=1", {}, 200);
        row("sync status", "GET", "/api/sync-status", {}, 200);
        row("autosync set, not JSON", "POST", "/api/autosync", "hours=3", 400);
        row("sync all, array body", "POST", "/api/sync-all", "[]", 400);
        row("worker set, not a boolean", "POST", "/api/transcription-worker", R"({"enabled": "yes"})", 400);
        row("unknown path", "GET", "/api/nothing-here", {}, 404);
        row("unknown method", "GET", "/api/sync-all", {}, 405);
        // A link is added as an unread item; anything else is refused.
        row("add https link", "POST", "/api/clipboard-add", link("https:\\/\\/example.com/a?id=7&x=<y>"), 202);
        row("add video link, upper-case scheme", "POST", "/api/clipboard-add", link("HTTPS:\\/\\/youtu.be/abc"), 202);
        row("add link with blanks around", "POST", "/api/clipboard-add", link("  https:\\/\\/example.com/b\\n"), 202);
        row("add plain words", "POST", "/api/clipboard-add", link("今天读完了"), 400);
        row("add ftp link", "POST", "/api/clipboard-add", link("ftp:\\/\\/example.com/file"), 400);
        row("add link with a space", "POST", "/api/clipboard-add", link("https:\\/\\/example.com/a b"), 400);
    }
    void replies()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        const qint64 unread = menuStatus(m_shared).unread.value_or(-1);
        const RawReply reply = rawRequest(quint16(m_shared.port), method, path, body);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.contentType, QByteArray("application/json"));
        const std::optional<QJsonObject> object = jsonObject(reply.body);
        QVERIFY2(object.has_value(), reply.body.constData());
        // Refusals say why, in Chinese, for the menu to show.
        if (status >= 400)
            QVERIFY2(hasHan(stringKey(*object, QStringLiteral("error")).value_or(QString())), reply.body.constData());
        QCOMPARE(menuStatus(m_shared).unread.value_or(-1), unread + (status == 202 ? 1 : 0));
        if (status != 202)
            return;
        // The library page lists the link, escaped.
        const RawReply page = rawRequest(quint16(m_shared.port), "GET", "/");
        QCOMPARE(page.contentType, QByteArray("text/html; charset=utf-8"));
        const QString text = jsonObject(body)->value(QStringLiteral("text")).toString().trimmed();
        QVERIFY2(page.body.contains(text.toHtmlEscaped().toUtf8()), qPrintable(text));
    }

    void fullSyncRunsQueuesAndFinishes()
    {
        QVERIFY(m_demo->start(quint16(m_own.port), { QStringLiteral("DEMO_SYNC_SECONDS=0.8") }));
        const MenuState fresh = menuStatus(m_own);
        QVERIFY(fresh.serviceUp && fresh.autosyncKnown && fresh.jobs.empty() && fresh.queue.isEmpty());
        const qint64 unreadBefore = fresh.unread.value_or(-1);
        QVERIFY(unreadBefore > 0);

        const auto state = [this] {
            const HTTPReply reply = ask(m_own, endpoints::syncAll, syncAllBody());
            return stringKey(reply.json().value_or(QJsonObject {}), QStringLiteral("state")).value_or(QString());
        };
        QCOMPARE(state(), QStringLiteral("started"));
        QCOMPARE(state(), QStringLiteral("queued"));
        QCOMPARE(state(), QStringLiteral("running"));

        // Both the menu's endpoint and the older one show the job and the queue.
        MenuState running = menuStatus(m_own);
        MenuState old;
        readSyncStatus(ask(m_own, endpoints::syncStatus).json().value_or(QJsonObject {}), old);
        for (const MenuState &seen : { running, old }) {
            QCOMPARE(seen.jobs.size(), size_t(1));
            QCOMPARE(seen.jobs.front().label, QStringLiteral("更新知识星球"));
            QVERIFY(!seen.jobs.front().message.isEmpty());
            QCOMPARE(seen.queue, QStringList { QStringLiteral("更新知识星球") });
        }
        const qint64 first = running.jobs.front().progress.value_or(-1);
        QVERIFY(first >= 0 && first < 100);
        QTest::qSleep(300);
        running = menuStatus(m_own);
        QCOMPARE(running.jobs.size(), size_t(1));
        QVERIFY2(running.jobs.front().progress.value_or(-1) > first, "progress did not rise");

        // Both full syncs (the running one and the queued one) end and leave new unread items.
        QVERIFY(waitUntil([this] { return menuStatus(m_own).jobs.empty(); }, 10s));
        const MenuState done = menuStatus(m_own);
        QVERIFY(done.queue.isEmpty());
        QVERIFY2(done.unread.value_or(-1) > unreadBefore, "a finished sync added nothing");
        QCOMPARE(state(), QStringLiteral("started"));
    }

    void autosyncKeptAcrossRestarts()
    {
        QVERIFY(m_demo->start(quint16(m_own.port)));
        QCOMPARE(autosync(m_own).hours, qint64(0));

        const double now = double(QDateTime::currentSecsSinceEpoch());
        QCOMPARE(ask(m_own, endpoints::autosyncSet, autosyncBody(12)).status, qint64(200));
        const AutosyncSchedule saved = autosync(m_own);
        QCOMPARE(saved.hours, qint64(12));
        QVERIFY2(qAbs(saved.next - (now + 12 * 3600)) < 60, qPrintable(QString::number(saved.next, 'f')));
        QCOMPARE(menuStatus(m_own).autosyncNext, saved.next);

        // Refused values leave the setting as it was.
        for (const QJsonValue &bad : { QJsonValue(QStringLiteral("6")), QJsonValue(3.5), QJsonValue(-1), QJsonValue(169) })
            QCOMPARE(ask(m_own, endpoints::autosyncSet, QJsonObject { { QStringLiteral("hours"), bad } }).status, qint64(400));

        QCOMPARE(m_demo->stop(), 0);
        QVERIFY(m_demo->start(quint16(m_own.port)));
        const AutosyncSchedule again = autosync(m_own);
        QCOMPARE(again.hours, qint64(12));
        QCOMPARE(again.next, saved.next);

        QCOMPARE(ask(m_own, endpoints::autosyncSet, autosyncBody(0)).status, qint64(200));
        QCOMPARE(autosync(m_own).next, 0.0);
    }

    void endsCleanlyOnSignal_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void endsCleanlyOnSignal()
    {
        QFETCH(int, signal);
        QVERIFY(m_demo->start(quint16(m_own.port)));
        QCOMPARE(ask(m_own, endpoints::preferences).status, qint64(200));
        QCOMPARE(m_demo->stop(signal), 0);
        QVERIFY(listeningPids(quint16(m_own.port)).isEmpty());
        // The start and stop lines on stdout, the request lines on stderr.
        const QString out = m_demo->takeStdout();
        const QString err = m_demo->takeStderr();
        QVERIFY2(out.contains(QStringLiteral("已启动：http://127.0.0.1:%1/").arg(m_own.port)) && out.contains("已停止")
                && !out.contains("/api/preferences"),
            qPrintable(out));
        QVERIFY2(err.contains(QStringLiteral("\"GET /api/preferences HTTP/1.1\" 200")), qPrintable(err));
    }

    void port_data()
    {
        QTest::addColumn<bool>("argument");
        QTest::newRow("from the environment") << false;
        QTest::newRow("argument beats the environment") << true;
    }
    void port()
    {
        QFETCH(bool, argument);
        const quint16 wanted = quint16(m_own.port);
        const quint16 other = freePort();
        QVERIFY(m_demo->launch(argument ? QStringList { QString::number(wanted) } : QStringList(),
            { QStringLiteral("LOCAL_LIBRARY_PORT=%1").arg(argument ? other : wanted) }));
        QVERIFY(waitUntil([&] { return ask(m_own, endpoints::version).status == 200; }, 10s));
        QCOMPARE(listeningPids(wanted), QList<pid_t> { m_demo->pid() });
        QVERIFY(listeningPids(other).isEmpty());
    }

    void startRefusals_data()
    {
        QTest::addColumn<QString>("port"); // empty: one that is taken
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("complaint");
        QTest::newRow("port in use") << QString() << 1 << QStringLiteral("无法监听");
        QTest::newRow("port zero") << QStringLiteral("0") << 2 << QStringLiteral("端口无效");
    }
    void startRefusals()
    {
        QFETCH(QString, port);
        QFETCH(int, exitCode);
        QFETCH(QString, complaint);
        FakeHttpServer holder;
        QVERIFY(m_demo->launch({ port.isEmpty() ? QString::number(holder.port()) : port }));
        QCOMPARE(m_demo->waitForExit(10000), exitCode);
        const QString err = m_demo->takeStderr();
        QVERIFY2(err.contains(complaint), qPrintable(err));
        QVERIFY(m_demo->takeStdout().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestDemoLibrary)
#include "tst_demolibrary.moc"
