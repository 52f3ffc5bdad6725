// LibsecretStore against gnome-keyring-daemon on the suite's private session bus, and without a bus.

#include "net/quenloapi.h"
#include "platform/libsecretstore.h"

#include "testenv.h"

#include <QProcess>
#include <QtTest>

using namespace quenlo;

class TestSecretStore final : public QObject {
    Q_OBJECT

    /// The statuses of read, update and add, then the session the application's client finds.
    static QString outcomes(const QByteArray &bytes = "quenlo_session=x")
    {
        LibsecretStore store;
        const int read = int(store.read().status), update = int(store.update(bytes)), add = int(store.add(bytes));
        return QStringLiteral("%1 %2 %3 ").arg(read).arg(update).arg(add) + QuenloAPI().cookie();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The daemon makes the login keyring with the password it reads to the end of its input, goes to the
        // background and ends with the bus.
        QCOMPARE(QProcess::execute("sh",
                     { "-c",
                         "printf password | gnome-keyring-daemon --unlock --components=secrets "
                         ">/dev/null && gdbus wait --session --timeout 15 org.freedesktop.secrets" }),
            0);
    }

    void withoutBus() // first: GIO keeps the first bus it reaches for the rest of the process
    {
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        for (const QByteArray &address : { QByteArray(), "unix:path=" + test::scratchDir().toUtf8() + "/nobody" }) {
            qputenv("DBUS_SESSION_BUS_ADDRESS", address);
            QCOMPARE(outcomes(), QStringLiteral("2 2 2 ")); // Failed, never NotFound, or the client would add an item
        }
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
    }

    void firstSaveAddsThenUpdates()
    {
        QCOMPARE(outcomes("quenlo_session=1"), QStringLiteral("1 1 0 quenlo_session=1"));
        LibsecretStore store;
        for (const QByteArray &bytes : { QByteArray("\xff\xfe\x80"), QByteArray("a\0b", 3), QByteArray(4000, 'v') }) {
            QCOMPARE(store.update(bytes), SecretStore::Status::Ok);
            QCOMPARE(store.read().bytes, bytes); // exactly, though not text
        }
    }

    void lockedCollectionFails()
    {
        const QString lock
            = "call --session --dest org.freedesktop.secrets --object-path /org/freedesktop/secrets "
              "--method org.freedesktop.Secret.Service.Lock ['/org/freedesktop/secrets/collection/login']";
        QCOMPARE(QProcess::execute("gdbus", lock.split(' ')), 0);
        // No prompt can be shown here, so the item stays locked: that is a failure, never "absent".
        QCOMPARE(outcomes(), QStringLiteral("2 2 2 "));
    }
};

QTEST_GUILESS_MAIN(TestSecretStore)
#include "tst_secretstore.moc"
