// The demo library's API as a real child process, read through the same calls and readers
// the companion uses, so the demo and the supervisor's tests stand on a believable server.

#include "app/processvalues.h"
#include "demoserver.h"
#include "fakehttpserver.h"
#include "net/localapi.h"
#include "processinfo.h"
#include "testenv.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QtTest>

#include <memory>

using namespace quenlo;
using namespace quenlo::test;
using namespace std::chrono_literals;

namespace {

bool validUtf8(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    (void)utf8.decode(bytes);
    return !utf8.hasError();
}

bool hasHan(const QString &text)
{
    static const QRegularExpression han(QStringLiteral("\\p{Han}"));
    return han.match(text).hasMatch();
}

MenuState menuStatus()
{
    const std::optional<QJsonObject> object = ask(endpoints::menuStatus).json();
    return object ? readMenuStatus(*object) : MenuState {};
}

QJsonObject autosync()
{
    return ask(endpoints::autosyncGet).json().value_or(QJsonObject {});
}

} // namespace

class TestDemoLibrary final : public QObject {
    Q_OBJECT

    QString m_root;
    quint16 m_port = 0;
    std::unique_ptr<DemoServer> m_demo;

private Q_SLOTS:
    void init()
    {
        m_root = copyDemoLibrary();
        m_port = freePort();
        setServicePort(m_port);
        m_demo = std::make_unique<DemoServer>(m_root);
    }

    void cleanup()
    {
        m_demo.reset();
        endListeners(m_port);
    }

    void layout()
    {
        const QFileInfo interpreter(m_root + QStringLiteral("/runtime-python"));
        QVERIFY(interpreter.isFile() && interpreter.isExecutable());
        QFile script(m_root + QStringLiteral("/server.py"));
        QVERIFY(script.open(QIODevice::ReadOnly));
        // The version line sits near the top, where the supervisor's expression finds it first.
        const QStringList head = QString::fromUtf8(script.read(4096)).split(QLatin1Char('\n')).mid(0, 40);
        static const QRegularExpression line(QStringLiteral("^APP_VERSION = \"([0-9]+)\"$"));
        QCOMPARE(head.filter(line).size(), 1);
    }

    void versionMatchesScript()
    {
        QVERIFY(m_demo->start(m_port));
        QFile script(m_root + QStringLiteral("/server.py"));
        QVERIFY(script.open(QIODevice::ReadOnly));
        const QRegularExpressionMatch onDisk = QRegularExpression(QStringLiteral("APP_VERSION\\s*=\\s*\"([0-9]+)\""))
                                                   .match(QString::fromUtf8(script.readAll()));
        QVERIFY(onDisk.hasMatch());
        const HTTPReply reply = ask(endpoints::version);
        QCOMPARE(reply.status, 200);
        QCOMPARE(readRunningVersion(reply), std::optional<QString>(onDisk.captured(1)));
    }

    void replies_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::newRow("version") << QByteArray("GET") << QByteArray("/api/version") << QByteArray() << 200;
        QTest::newRow("preferences") << QByteArray("GET") << QByteArray("/api/preferences") << QByteArray() << 200;
        QTest::newRow("menu status") << QByteArray("GET") << QByteArray("/api/menu-status") << QByteArray() << 200;
        QTest::newRow("menu status with query")
            << QByteArray("GET") << QByteArray("/api/menu-status?x=1") << QByteArray() << 200;
        QTest::newRow("sync status") << QByteArray("GET") << QByteArray("/api/sync-status") << QByteArray() << 200;
        QTest::newRow("autosync get") << QByteArray("GET") << QByteArray("/api/autosync") << QByteArray() << 200;
        QTest::newRow("autosync set") << QByteArray("POST") << QByteArray("/api/autosync")
                                      << QByteArray(R"({"hours":3})") << 200;
        QTest::newRow("autosync set, not JSON")
            << QByteArray("POST") << QByteArray("/api/autosync") << QByteArray("hours=3") << 400;
        QTest::newRow("sync all") << QByteArray("POST") << QByteArray("/api/sync-all") << QByteArray("{}") << 200;
        QTest::newRow("sync all, array body")
            << QByteArray("POST") << QByteArray("/api/sync-all") << QByteArray("[]") << 400;
        // Escaped, not raw: moc takes the "//" of a raw string for the start of a comment.
        QTest::newRow("clipboard add") << QByteArray("POST") << QByteArray("/api/clipboard-add")
                                       << QByteArray("{\"text\":\"https://example.com/a\"}") << 202;
        QTest::newRow("clipboard add, no link")
            << QByteArray("POST") << QByteArray("/api/clipboard-add") << QByteArray(R"({"text":"hello"})") << 400;
        QTest::newRow("worker get") << QByteArray("GET") << QByteArray("/api/transcription-worker") << QByteArray()
                                    << 200;
        QTest::newRow("worker set") << QByteArray("POST") << QByteArray("/api/transcription-worker")
                                    << QByteArray(R"({"enabled":false})") << 200;
        QTest::newRow("unknown path") << QByteArray("GET") << QByteArray("/api/nothing-here") << QByteArray() << 404;
        QTest::newRow("unknown method") << QByteArray("GET") << QByteArray("/api/sync-all") << QByteArray() << 405;
    }

    void replies()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QVERIFY(m_demo->start(m_port));
        const RawReply reply = rawRequest(m_port, method, path, body);
        QCOMPARE(reply.status, status);
        QCOMPARE(reply.contentType, QByteArray("application/json"));
        const std::optional<QJsonObject> object = jsonObject(reply.body);
        QVERIFY2(object.has_value(), reply.body.constData());
        if (status >= 400) {
            const std::optional<QString> error = stringKey(*object, QStringLiteral("error"));
            QVERIFY(error.has_value());
            QVERIFY2(hasHan(*error), qPrintable(*error));
        }
    }

    void menuStatusShape()
    {
        QVERIFY(m_demo->start(m_port));
        const MenuState state = menuStatus();
        QVERIFY(state.serviceUp);
        QVERIFY(state.unread.has_value());
        QVERIFY(*state.unread > 0);
        QVERIFY(state.jobs.empty());
        QVERIFY(state.queue.isEmpty());
        QVERIFY(state.autosyncKnown);

        MenuState old;
        readSyncStatus(ask(endpoints::syncStatus).json().value_or(QJsonObject {}), old);
        QVERIFY(old.jobs.empty());
    }

    void fullSyncRunsQueuesAndFinishes()
    {
        QVERIFY(m_demo->start(m_port, { QStringLiteral("DEMO_SYNC_SECONDS=2") }));
        const qint64 unreadBefore = menuStatus().unread.value_or(-1);
        QVERIFY(unreadBefore >= 0);

        const auto state = [](const HTTPReply &reply) {
            return stringKey(reply.json().value_or(QJsonObject {}), QStringLiteral("state")).value_or(QString());
        };
        QCOMPARE(state(ask(endpoints::syncAll, syncAllBody())), QStringLiteral("started"));
        QCOMPARE(state(ask(endpoints::syncAll, syncAllBody())), QStringLiteral("queued"));
        QCOMPARE(state(ask(endpoints::syncAll, syncAllBody())), QStringLiteral("running"));

        MenuState running = menuStatus();
        QCOMPARE(running.jobs.size(), size_t(1));
        QCOMPARE(running.jobs.front().label, QStringLiteral("更新知识星球"));
        QVERIFY(!running.jobs.front().message.isEmpty());
        QCOMPARE(running.queue, QStringList { QStringLiteral("更新知识星球") });
        const qint64 first = running.jobs.front().progress.value_or(-1);
        QVERIFY(first >= 0 && first < 100);

        MenuState old;
        readSyncStatus(ask(endpoints::syncStatus).json().value_or(QJsonObject {}), old);
        QCOMPARE(old.jobs.size(), size_t(1));
        QCOMPARE(old.jobs.front().label, QStringLiteral("更新知识星球"));
        QCOMPARE(old.queue, QStringList { QStringLiteral("更新知识星球") });

        QTest::qSleep(800);
        running = menuStatus();
        QCOMPARE(running.jobs.size(), size_t(1));
        QVERIFY2(running.jobs.front().progress.value_or(-1) > first, "progress did not rise");

        // Both full syncs (the running one and the queued one) end and leave new unread items.
        QVERIFY(waitUntil([] { return menuStatus().jobs.empty(); }, 10s));
        const MenuState done = menuStatus();
        QVERIFY(done.queue.isEmpty());
        QVERIFY2(done.unread.value_or(-1) > unreadBefore, "a finished sync added nothing");
        QCOMPARE(state(ask(endpoints::syncAll, syncAllBody())), QStringLiteral("started"));
    }

    void clipboardAdd_data()
    {
        QTest::addColumn<QJsonObject>("body");
        QTest::addColumn<int>("status");
        const auto text = [](const QString &t) { return QJsonObject { { QStringLiteral("text"), t } }; };
        QTest::newRow("https link") << text(QStringLiteral("https://example.com/article?id=7")) << 202;
        QTest::newRow("http link") << text(QStringLiteral("http://example.com/")) << 202;
        QTest::newRow("upper-case scheme") << text(QStringLiteral("HTTPS://EXAMPLE.COM/x")) << 202;
        QTest::newRow("video link") << text(QStringLiteral("https://www.youtube.com/watch?v=abc")) << 202;
        QTest::newRow("blanks around a link") << text(QStringLiteral("  https://example.com/b\n")) << 202;
        QTest::newRow("plain words") << text(QStringLiteral("今天读完了")) << 400;
        QTest::newRow("ftp link") << text(QStringLiteral("ftp://example.com/file")) << 400;
        QTest::newRow("scheme only") << text(QStringLiteral("https://")) << 400;
        QTest::newRow("link with a space") << text(QStringLiteral("https://example.com/a b")) << 400;
        QTest::newRow("empty text") << text(QString()) << 400;
        QTest::newRow("text not a string") << QJsonObject { { QStringLiteral("text"), 5 } } << 400;
        QTest::newRow("no text") << QJsonObject {} << 400;
    }

    void clipboardAdd()
    {
        QFETCH(QJsonObject, body);
        QFETCH(int, status);
        QVERIFY(m_demo->start(m_port));
        const qint64 before = menuStatus().unread.value_or(-1);
        const HTTPReply reply = ask(endpoints::clipboardAdd, body);
        QCOMPARE(reply.status, qint64(status));
        const qint64 after = menuStatus().unread.value_or(-1);
        if (status == 202) {
            QCOMPARE(after, before + 1);
            const QString link = body.value(QStringLiteral("text")).toString().trimmed();
            const RawReply page = rawRequest(m_port, "GET", "/");
            QVERIFY(page.body.contains(link.toHtmlEscaped().toUtf8()));
        } else {
            QCOMPARE(after, before);
            const std::optional<QString> error
                = stringKey(reply.json().value_or(QJsonObject {}), QStringLiteral("error"));
            QVERIFY(error.has_value() && hasHan(*error));
        }
    }

    void autosyncKeptAcrossRestarts()
    {
        QVERIFY(m_demo->start(m_port));
        QCOMPARE(readAutosync(autosync()).hours, qint64(0));

        const double now = double(QDateTime::currentSecsSinceEpoch());
        QCOMPARE(ask(endpoints::autosyncSet, autosyncBody(12)).status, qint64(200));
        const AutosyncSchedule saved = readAutosync(autosync());
        QCOMPARE(saved.hours, qint64(12));
        QVERIFY2(qAbs(saved.next - (now + 12 * 3600)) < 60, qPrintable(QString::number(saved.next, 'f')));
        const MenuState state = menuStatus();
        QCOMPARE(state.autosyncHours, qint64(12));
        QCOMPARE(state.autosyncNext, saved.next);

        // Refused values leave the setting as it was.
        for (const QJsonValue &bad :
            { QJsonValue(QStringLiteral("6")), QJsonValue(3.5), QJsonValue(-1), QJsonValue(true), QJsonValue(169) }) {
            QCOMPARE(ask(endpoints::autosyncSet, QJsonObject { { QStringLiteral("hours"), bad } }).status, qint64(400));
        }
        QCOMPARE(readAutosync(autosync()).hours, qint64(12));

        QCOMPARE(m_demo->stop(), 0);
        QVERIFY(m_demo->start(m_port));
        const AutosyncSchedule again = readAutosync(autosync());
        QCOMPARE(again.hours, qint64(12));
        QCOMPARE(again.next, saved.next);

        QCOMPARE(ask(endpoints::autosyncSet, autosyncBody(0)).status, qint64(200));
        const AutosyncSchedule off = readAutosync(autosync());
        QCOMPARE(off.hours, qint64(0));
        QCOMPARE(off.next, 0.0);
    }

    void transcriptionWorker()
    {
        QVERIFY(m_demo->start(m_port));
        std::optional<TranscriptionWorker> worker = readTranscriptionWorker(ask(endpoints::transcriptionGet));
        QVERIFY(worker.has_value());
        QVERIFY(worker->enabled.has_value() && worker->ready.has_value() && worker->running.has_value());
        QCOMPARE(*worker->enabled, false);

        for (const bool enabled : { true, false }) {
            const HTTPReply reply = ask(endpoints::transcriptionSet, transcriptionBody(enabled));
            const std::optional<QString> message
                = stringKey(reply.json().value_or(QJsonObject {}), QStringLiteral("message"));
            QVERIFY(message.has_value() && hasHan(*message));
            worker = readTranscriptionWorker(ask(endpoints::transcriptionGet));
            QVERIFY(worker.has_value());
            QCOMPARE(worker->enabled, std::optional<bool>(enabled));
            QCOMPARE(worker->running, std::optional<bool>(enabled && worker->ready.value_or(false)));
        }

        const HTTPReply refused
            = ask(endpoints::transcriptionSet, QJsonObject { { QStringLiteral("enabled"), QStringLiteral("yes") } });
        QCOMPARE(refused.status, qint64(400));
        QVERIFY(stringKey(refused.json().value_or(QJsonObject {}), QStringLiteral("error")).has_value());
        QCOMPARE(readTranscriptionWorker(ask(endpoints::transcriptionGet))->enabled, std::optional<bool>(false));
    }

    void libraryPage()
    {
        QVERIFY(m_demo->start(m_port));
        const RawReply page = rawRequest(m_port, "GET", "/");
        QCOMPARE(page.status, 200);
        QCOMPARE(page.contentType, QByteArray("text/html; charset=utf-8"));
        QVERIFY(validUtf8(page.body));
        const QString text = QString::fromUtf8(page.body);
        QVERIFY(text.contains(QStringLiteral("<meta charset=\"utf-8\">")));
        QVERIFY(text.contains(QStringLiteral("本地Quenlo")));
        QVERIFY(text.count(QStringLiteral("<li")) >= 1);
    }
};

QTEST_GUILESS_MAIN(TestDemoLibrary)
#include "tst_demolibrary.moc"
