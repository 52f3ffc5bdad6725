// Every claim runs in a child (this binary with --claim KEY bus|socket), as a start of the
// companion would: on the session bus, or on the local socket once the bus address is gone.

#include "platform/singleinstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <cstdio>

using quenlo::SingleInstance;

namespace {
/// A stand-in companion: prints "claimed MS" or "refused MS", then "activated" for each ping.
int runClaimant(int argc, char **argv)
{
    if (qstrcmp(argv[3], "socket") == 0)
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QCoreApplication application(argc, argv);
    SingleInstance instance(QString::fromLocal8Bit(argv[2]));
    const auto say = [](const QByteArray &line) { std::puts(line.constData()), std::fflush(stdout); };
    QObject::connect(&instance, &SingleInstance::activated, [say] { say("activated"); });
    QElapsedTimer clock;
    clock.start();
    const bool claimed = instance.claim();
    say((claimed ? "claimed " : "refused ") + QByteArray::number(clock.elapsed()));
    return claimed ? application.exec() : 0;
}

/// The first word of the child's next line ("" after 3 s); "slow" for a claim of 1 s or more.
QByteArray nextWord(QProcess *child)
{
    if (!QTest::qWaitFor([child] { return child->canReadLine(); }, 3000))
        return {};
    const QList<QByteArray> words = child->readLine().trimmed().split(' ');
    return words.size() == 2 && words[1].toInt() >= 1000 ? "slow" : words[0];
}
} // namespace

class TestSingleInstance final : public QObject {
    Q_OBJECT

    QList<QProcess *> m_children;

    QProcess *start(const QString &key, bool bus)
    {
        auto *child = new QProcess(this);
        child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child->start(QCoreApplication::applicationFilePath(),
                     {QStringLiteral("--claim"), key, bus ? QStringLiteral("bus") : QStringLiteral("socket")});
        m_children.append(child);
        return child;
    }

private Q_SLOTS:
    void cleanup()
    {
        for (QProcess *child : std::exchange(m_children, {})) {
            child->kill();
            child->waitForFinished();
            delete child;
        }
    }

    void oneOfSeveralStartsWins_data()
    {
        QTest::addColumn<bool>("bus");
        QTest::addColumn<bool>("killedOwner");
        QTest::addColumn<QString>("key");
        QTest::newRow("session bus") << true << false << QStringLiteral("/home/ann/.config");
        QTest::newRow("session bus, non-ASCII key") << true << false << QStringLiteral("/home/李雷/配置 2/");
        QTest::newRow("local socket") << false << false << QStringLiteral("/home/ann/.config");
        QTest::newRow("local socket of a killed companion") << false << true << QStringLiteral("/home/bo/.config");
    }
    void oneOfSeveralStartsWins()
    {
        QFETCH(bool, bus);
        QFETCH(bool, killedOwner);
        QFETCH(QString, key);
        const QDBusConnection session = QDBusConnection::sessionBus();
        if (bus && !session.isConnected())
            QSKIP("no D-Bus session bus (dbus-run-session is not installed)");
        const SingleInstance names(key);
        if (killedOwner) {
            QProcess *owner = start(key, bus);
            QCOMPARE(nextWord(owner), "claimed");
            owner->kill();
            QVERIFY(owner->waitForFinished());
            // The file stays behind, so the starts below must take it over.
            QVERIFY(QFileInfo::exists(names.socketPath()));
        }

        QProcess *winner = nullptr;
        for (QProcess *child : {start(key, bus), start(key, bus), start(key, bus)}) {
            const QByteArray outcome = nextWord(child);
            if (outcome == "claimed" && !winner)
                winner = child;
            else
                QCOMPARE(outcome, "refused");
        }
        QVERIFY(winner);
        // Each refused start had its ping delivered before it gave up.
        QCOMPARE(nextWord(winner), "activated");
        QCOMPARE(nextWord(winner), "activated");
        // The claim is made where the row says, and only there.
        if (session.isConnected())
            QCOMPARE(session.interface()->isServiceRegistered(names.busName()).value(), bus);
        QCOMPARE(QFileInfo::exists(names.socketPath()), !bus);
        // Another settings folder is another companion.
        QCOMPARE(nextWord(start(key + QStringLiteral("/demo"), bus)), "claimed");
    }
};

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--claim") == 0)
        return runClaimant(argc, argv);
    QCoreApplication application(argc, argv);
    TestSingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
