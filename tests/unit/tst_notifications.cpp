#include "app/notifier.h"
#include "app/trayview.h"
#include "enginefixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QtTest>

using namespace quenlo;

/// Plays the desktop's notification server and keeps what it was sent.
class NotificationServer final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    struct Note {
        QString app, icon, summary, body;
        QVariantMap hints;
        int timeout;
    };
    QList<Note> notes;

public Q_SLOTS:
    uint Notify(const QString &app, uint, const QString &icon, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &hints, int timeout)
    {
        notes.append({app, icon, summary, body, hints, timeout});
        return uint(notes.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("sound")}; }
};

class TestNotifications final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        if (!QDBusConnection::sessionBus().isConnected())
            QSKIP("no D-Bus session bus (dbus-run-session is not installed)");
        QVERIFY(QDBusConnection::sessionBus().registerObject(QStringLiteral("/org/freedesktop/Notifications"), &m_server,
                                                             QDBusConnection::ExportAllSlots));
        QVERIFY(QDBusConnection::sessionBus().registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    void init() { m_server.notes.clear(); }

    void notifySendsTitleBodyAndSound()
    {
        makeSystemNotifier()->notify(QStringLiteral("本地Quenlo"), QStringLiteral("已收入 <a> & 链接"));
        QTRY_COMPARE(m_server.notes.size(), 1);
        const auto &note = m_server.notes.first();
        QCOMPARE(note.app, QStringLiteral("本地Quenlo"));
        QCOMPARE(note.summary, QStringLiteral("本地Quenlo"));
        QCOMPARE(note.body, QStringLiteral("已收入 &lt;a&gt; &amp; 链接"));
        QVERIFY(note.hints.contains(QStringLiteral("sound-name")));
        QCOMPARE(note.hints.value(QStringLiteral("desktop-entry")).toString(), QStringLiteral("local.library.menubar"));
    }

    void flashNotifiesResultsOnly()
    {
        test::EngineFixture f;
        f.start();
        TrayOptions options;
        options.showTray = false;
        TrayView view(*f.engine, std::move(options)); // with the system's notifier
        QVERIFY(f.settle());
        f.engine->flash(Message::progress(QStringLiteral("正在重启服务…"), Milliseconds(1000)));
        f.engine->flash(Message::outcome(QStringLiteral("服务启动失败，请查看 server.log"), Milliseconds(1000)));
        QTRY_COMPARE(m_server.notes.size(), 1);
        QTest::qWait(200);
        QCOMPARE(m_server.notes.size(), 1);
        QCOMPARE(m_server.notes.first().summary, QStringLiteral("本地Quenlo"));
        QCOMPARE(m_server.notes.first().body, QStringLiteral("服务启动失败，请查看 server.log"));
    }

    void missingServerIsHarmless()
    {
        QDBusConnection::sessionBus().unregisterService(QStringLiteral("org.freedesktop.Notifications"));
        makeSystemNotifier()->notify(QStringLiteral("本地Quenlo"), QStringLiteral("x"));
        QTest::qWait(100);
        QVERIFY(m_server.notes.isEmpty());
    }

private:
    NotificationServer m_server;
};

QTEST_MAIN(TestNotifications)
#include "tst_notifications.moc"
