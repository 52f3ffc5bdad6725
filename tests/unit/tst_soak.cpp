#include "enginefixture.h"
#include "processinfo.h"

#include <QDir>
#include <QFile>
#include <QtTest>

using namespace quenlo;
using quenlo::test::EngineFixture;

namespace {

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

int entries(const QString &folder) { return int(QDir(folder).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size()); }

} // namespace

/// A companion polling all day: thousands of polls against the real demo library must not
/// grow its memory or leak descriptors or threads.
class TestSoak final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void twentyThousandPolls()
    {
        const int total = qEnvironmentVariableIntValue("QUENLO_SOAK_POLLS") > 0
                              ? qEnvironmentVariableIntValue("QUENLO_SOAK_POLLS")
                              : 20000;
        EngineFixture f;
        f.server.reset();
        const quint16 port = test::freePort();
        f.settings = test::fastSettings(port);
        f.start(test::copyDemoLibrary());
        QVERIFY(f.settle(30000));

        int applied = 0;
        connect(f.engine.get(), &Controller::pollApplied, this, [&] { ++applied; });
        const auto pollBatch = [&](int count) {
            const int target = applied + count;
            for (int i = 0; i < count; ++i)
                f.engine->refresh();
            return QTest::qWaitFor([&] { return applied >= target; }, 120000);
        };

        // Warm up: allocator pools, connection setup, Qt's caches.
        QVERIFY(pollBatch(500));
        const qint64 rssBefore = residentKiB();
        const int fdsBefore = entries(QStringLiteral("/proc/self/fd"));
        const int threadsBefore = entries(QStringLiteral("/proc/self/task"));

        for (int done = 0; done < total; done += 250)
            QVERIFY(pollBatch(250));
        QVERIFY(f.settle());

        const qint64 growth = residentKiB() - rssBefore;
        const int fds = entries(QStringLiteral("/proc/self/fd"));
        const int threads = entries(QStringLiteral("/proc/self/task"));
        qInfo("%d polls: resident memory %+lld KiB, descriptors %d -> %d, threads %d -> %d", total, growth,
              fdsBefore, fds, threadsBefore, threads);
        QVERIFY2(growth < 2048, qPrintable(QStringLiteral("grew by %1 KiB").arg(growth)));
        QVERIFY(fds <= fdsBefore + 2);
        QVERIFY(threads <= threadsBefore);
        QVERIFY(f.engine->state().serviceUp);
        test::endListeners(port);
    }
};

QTEST_GUILESS_MAIN(TestSoak)
#include "tst_soak.moc"
