// A private dbus-daemon is the system bus (DBUS_SYSTEM_BUS_ADDRESS is set before anything opens
// one), and the test plays logind on it.

#include "platform/wakewatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

using quenlo::WakeWatcher;

class TestWakeWatcher final : public QObject {
    Q_OBJECT

    QProcess m_daemon;
    int m_synced = 0;

public Q_SLOTS:
    void synced() { ++m_synced; }

private Q_SLOTS:
    void initTestCase()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                       QStringLiteral("--print-address")});
        QVERIFY(QTest::qWaitFor([this] { return m_daemon.canReadLine(); }, 3000));
        const QString address = QString::fromUtf8(m_daemon.readLine().trimmed());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
        for (const QString &name : {QStringLiteral("org.freedesktop.login1"), QStringLiteral("org.example.Impostor")})
            QVERIFY(QDBusConnection::connectToBus(address, name).registerService(name));
        // Each sender ends with a signal the test hears itself; by then the watcher has had all
        // that sender sent before it.
        QVERIFY(QDBusConnection::systemBus().connect(QString(), QStringLiteral("/sync"), QStringLiteral("local.test"),
                                                     QStringLiteral("Done"), this, SLOT(synced())));
    }
    void cleanupTestCase()
    {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }

    void wokeOnlyOnLogindResume_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QList<bool>>("sleeping");
        QTest::addColumn<int>("wakes");
        const QString logind = QStringLiteral("org.freedesktop.login1");
        QTest::newRow("suspend") << logind << QList<bool>{true} << 0;
        QTest::newRow("suspend and resume twice") << logind << QList<bool>{true, false, true, false} << 2;
        QTest::newRow("resume from another name") << QStringLiteral("org.example.Impostor") << QList<bool>{false} << 0;
    }
    void wokeOnlyOnLogindResume()
    {
        QFETCH(QString, sender);
        QFETCH(QList<bool>, sleeping);
        QFETCH(int, wakes);
        WakeWatcher watcher;
        QSignalSpy woke(&watcher, &WakeWatcher::woke);
        // A round trip on the watcher's connection, so its match rule is on the bus.
        QVERIFY(QDBusConnection::systemBus().interface()->isServiceRegistered(sender).value());

        QDBusConnection bus(sender); // initTestCase named each connection after its bus name
        for (bool value : sleeping)
            QVERIFY(bus.send(QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
                                                        QStringLiteral("org.freedesktop.login1.Manager"),
                                                        QStringLiteral("PrepareForSleep"))
                             << value));
        const int before = m_synced;
        QVERIFY(bus.send(QDBusMessage::createSignal(QStringLiteral("/sync"), QStringLiteral("local.test"),
                                                    QStringLiteral("Done"))));
        QVERIFY(QTest::qWaitFor([&] { return m_synced > before; }, 2000));
        QCOMPARE(woke.count(), wakes);
    }

    void quietWithoutSystemBus()
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--without-bus")});
        QVERIFY(child.waitForFinished(2000));
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(child.readAll(), QByteArray());
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--without-bus") == 0) {
        // No socket behind the address: the watcher must build, stay quiet and let the process end.
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/system_bus_socket");
        QCoreApplication application(argc, argv);
        WakeWatcher watcher;
        QTimer::singleShot(50, &application, &QCoreApplication::quit);
        return application.exec();
    }
    QCoreApplication application(argc, argv);
    TestWakeWatcher test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wakewatcher.moc"
