// Every claim runs in a child (this binary with --claim KEY), as a second start of the
// companion would, either on the session bus or, with the bus address taken away, on the socket.

#include "platform/singleinstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <cstdio>
#include <memory>
#include <vector>

using quenlo::SingleInstance;

namespace {

void say(const QByteArray &line)
{
    std::fputs(line.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

/// A stand-in companion: prints "claimed MS" or "refused MS", then "activated" for each ping.
int runClaimant(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    SingleInstance instance(QString::fromLocal8Bit(argv[2]));
    QObject::connect(&instance, &SingleInstance::activated, [] { say("activated"); });
    QElapsedTimer clock;
    clock.start();
    const bool claimed = instance.claim();
    say((claimed ? "claimed " : "refused ") + QByteArray::number(clock.elapsed()));
    return claimed ? application.exec() : 0;
}

} // namespace

class TestSingleInstance final : public QObject {
    Q_OBJECT

    std::vector<std::unique_ptr<QProcess>> m_children;
    int m_keys = 0;

    /// \a base made unique, so no row meets a socket or child left by another.
    QString freshKey(const QString &base = QStringLiteral("/home/ann/.config"))
    {
        return QStringLiteral("%1#%2").arg(base).arg(++m_keys);
    }

    QProcess *start(const QString &key, bool bus)
    {
        auto process = std::make_unique<QProcess>();
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!bus)
            environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--claim"), key});
        m_children.push_back(std::move(process));
        return m_children.back().get();
    }

    /// The child's next line, or "" when none comes within \a ms.
    static QByteArray nextLine(QProcess *process, int ms = 3000)
    {
        if (!QTest::qWaitFor([process] { return process->canReadLine(); }, ms))
            return {};
        return process->readLine().trimmed();
    }

    /// "claimed" or "refused", or "slow ..." when the claim took a second or more.
    static QByteArray outcome(QProcess *process)
    {
        const QList<QByteArray> words = nextLine(process).split(' ');
        if (words.size() != 2)
            return "no answer";
        if (words[1].toInt() >= 1000)
            return "slow " + words[0];
        return words[0];
    }

    static bool skipBus(bool bus) { return bus && !QDBusConnection::sessionBus().isConnected(); }

private Q_SLOTS:
    void cleanup()
    {
        for (const auto &process : m_children) {
            process->kill();
            process->waitForFinished(2000);
        }
        m_children.clear();
    }

    void secondStartWakesFirst_data()
    {
        QTest::addColumn<bool>("bus");
        QTest::addColumn<QString>("key");
        QTest::newRow("session bus") << true << QStringLiteral("/home/ann/.config");
        QTest::newRow("session bus, non-ASCII key") << true << QStringLiteral("/home/李雷/配置 2/");
        QTest::newRow("local socket") << false << QStringLiteral("/home/ann/.config");
    }
    void secondStartWakesFirst()
    {
        QFETCH(bool, bus);
        if (skipBus(bus))
            QSKIP("no D-Bus session bus (dbus-run-session is not installed)");
        QFETCH(QString, key);
        key = freshKey(key);
        const SingleInstance names(key);

        QProcess *first = start(key, bus);
        QCOMPARE(outcome(first), "claimed");
        // The claim is made where the row says, and only there.
        if (QDBusConnection::sessionBus().isConnected())
            QCOMPARE(QDBusConnection::sessionBus().interface()->isServiceRegistered(names.busName()).value(), bus);
        QCOMPARE(QFileInfo::exists(names.socketPath()), !bus);

        QProcess *second = start(key, bus);
        QCOMPARE(outcome(second), "refused");
        // Delivered before the second start gave up, so it is on its way already.
        QCOMPARE(nextLine(first, 1000), "activated");
        QVERIFY(QTest::qWaitFor([second] { return second->state() == QProcess::NotRunning; }, 2000));
        QCOMPARE(second->exitCode(), 0);

        QCOMPARE(outcome(start(freshKey(), bus)), "claimed");
    }

    void oneOfSeveralStartsWins_data()
    {
        QTest::addColumn<bool>("bus");
        QTest::addColumn<bool>("killedOwner");
        QTest::newRow("session bus") << true << false;
        QTest::newRow("local socket") << false << false;
        QTest::newRow("local socket of a killed companion") << false << true;
    }
    void oneOfSeveralStartsWins()
    {
        QFETCH(bool, bus);
        QFETCH(bool, killedOwner);
        if (skipBus(bus))
            QSKIP("no D-Bus session bus (dbus-run-session is not installed)");
        const QString key = freshKey();
        if (killedOwner) {
            QProcess *owner = start(key, bus);
            QCOMPARE(outcome(owner), "claimed");
            owner->kill();
            QVERIFY(owner->waitForFinished(2000));
            // The file is still there, so the starts below must take it over.
            QVERIFY(QFileInfo::exists(SingleInstance(key).socketPath()));
        }

        QList<QProcess *> starts;
        for (int i = 0; i < 3; ++i)
            starts.append(start(key, bus));
        QProcess *winner = nullptr;
        for (QProcess *process : starts) {
            const QByteArray result = outcome(process);
            if (result == "claimed" && !winner)
                winner = process;
            else
                QCOMPARE(result, "refused");
        }
        QVERIFY(winner);
        QCOMPARE(nextLine(winner, 1000), "activated");
        QCOMPARE(nextLine(winner, 1000), "activated");
    }
};

int main(int argc, char **argv)
{
    if (argc == 3 && qstrcmp(argv[1], "--claim") == 0)
        return runClaimant(argc, argv);
    QCoreApplication application(argc, argv);
    TestSingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singleinstance.moc"
