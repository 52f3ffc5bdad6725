// The system bus is a private dbus-daemon of the test's own, named in DBUS_SYSTEM_BUS_ADDRESS
// before anything in the process opens the system bus; the test plays logind on it.

#include "platform/wakewatcher.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using quenlo::WakeWatcher;

namespace {
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString syncPath = QStringLiteral("/local/test/Sync");
const QString syncInterface = QStringLiteral("local.test.Sync");

/// With the system bus address naming no socket: the watcher must build and leave quietly.
int runWithoutBus(int argc, char **argv)
{
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/quenlo-system-bus");
    QCoreApplication application(argc, argv);
    WakeWatcher watcher;
    QTimer::singleShot(50, &application, &QCoreApplication::quit);
    return application.exec();
}
} // namespace

class TestWakeWatcher final : public QObject {
    Q_OBJECT

    QProcess m_daemon;
    QString m_address;
    int m_synced = 0;

public Q_SLOTS:
    void synced() { ++m_synced; }

private Q_SLOTS:
    void initTestCase()
    {
        m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                       QStringLiteral("--print-address")});
        if (!m_daemon.waitForStarted(3000))
            QSKIP("dbus-daemon is not installed");
        QVERIFY(QTest::qWaitFor([this] { return m_daemon.canReadLine(); }, 3000));
        m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_address.toUtf8());

        for (const QString &name : {QStringLiteral("org.freedesktop.login1"), QStringLiteral("org.example.Impostor")}) {
            QDBusConnection bus = QDBusConnection::connectToBus(m_address, name);
            QVERIFY(bus.isConnected());
            QVERIFY(bus.registerService(name));
        }
        // Each sender ends with a signal this test hears itself; by then the watcher has had
        // whatever came before it from that sender.
        QVERIFY(QDBusConnection::systemBus().connect(QString(), syncPath, syncInterface, QStringLiteral("Done"), this,
                                                     SLOT(synced())));
    }
    void cleanupTestCase()
    {
        m_daemon.kill();
        m_daemon.waitForFinished(2000);
    }

    void wokeOnlyOnLogindResume_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QList<bool>>("sleeping");
        QTest::addColumn<int>("wakes");
        const QString logind = QStringLiteral("org.freedesktop.login1");
        QTest::newRow("resume") << logind << QList<bool>{false} << 1;
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
        // A round trip on the watcher's connection: its match rules are now on the bus.
        QVERIFY(QDBusConnection::systemBus().interface()->isServiceRegistered(sender).value());

        QDBusConnection bus(sender); // the connection initTestCase named after its bus name
        for (bool value : sleeping) {
            QDBusMessage signal =
                QDBusMessage::createSignal(login1Path, managerInterface, QStringLiteral("PrepareForSleep"));
            signal << value;
            QVERIFY(bus.send(signal));
        }
        const int before = m_synced;
        QVERIFY(bus.send(QDBusMessage::createSignal(syncPath, syncInterface, QStringLiteral("Done"))));
        QVERIFY(QTest::qWaitFor([&] { return m_synced > before; }, 2000));
        QCOMPARE(woke.count(), wakes);
    }

    void quietWithoutSystemBus()
    {
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        QElapsedTimer clock;
        clock.start();
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--without-bus")});
        QVERIFY(child.waitForFinished(5000));
        QVERIFY2(clock.elapsed() < 2000, QByteArray::number(clock.elapsed()).constData());
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 0);
        QCOMPARE(child.readAll(), QByteArray());
    }
};

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "--without-bus") == 0)
        return runWithoutBus(argc, argv);
    QCoreApplication application(argc, argv);
    TestWakeWatcher test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_wakewatcher.moc"
