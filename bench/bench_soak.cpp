// A companion polling all day: thousands of polls by the engine against the real demo library
// must not grow its memory or leak descriptors or threads. Prints the growth with its goals.

#include "benchenv.h"
#include "demolibrary.h"
#include "harness.h"

#include "engine/controller.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

using namespace quenlo;
using namespace quenlo::bench;

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

int main(int argc, char **argv)
{
    const int total = argc > 1 ? std::atoi(argv[1]) : 20000;
    const QString home = isolateEnvironment();
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication app(argc, argv);

    DemoLibrary demo;
    if (!demo.startWithToolsReady(freeLoopbackPort())) {
        std::fprintf(stderr, "bench_soak: the demo library did not start\n");
        return 2;
    }

    ControllerOptions options;
    options.settings.service.port = demo.port();
    const QString root = demo.root();
    options.findProjectRoot = [root] { return std::optional<QString>(root); };
    options.platform = linuxPlatform(home + QStringLiteral("/config"));
    options.applicationPath = root + QStringLiteral("/quenlo-menubar");
    Controller engine(std::move(options));
    int applied = 0;
    QObject::connect(&engine, &Controller::pollApplied, [&] { ++applied; });
    engine.start();

    const auto pollBatch = [&](int count) {
        const int target = applied + count;
        for (int i = 0; i < count; ++i)
            engine.refresh();
        QEventLoop loop;
        QTimer check;
        QObject::connect(&check, &QTimer::timeout, &loop, [&] {
            if (applied >= target)
                loop.quit();
        });
        check.start(5);
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        loop.exec();
        return applied >= target;
    };

    // Warm up: allocator pools, connection setup, Qt's caches.
    if (!pollBatch(500))
        return 2;
    const qint64 rssBefore = residentKiB();
    const int fdsBefore = entries(QStringLiteral("/proc/self/fd"));
    const int threadsBefore = entries(QStringLiteral("/proc/self/task"));
    const auto started = Clock::now();
    for (int done = 0; done < total; done += 250) {
        if (!pollBatch(250)) {
            std::fprintf(stderr, "bench_soak: polls stopped arriving\n");
            return 2;
        }
    }
    const double seconds = msSince(started) / 1000.0;

    heading(QStringLiteral("Soak: %1 polls of the engine against the demo library").arg(total));
    note(QStringLiteral("polls per second"), total / seconds, QString());
    int missed = 0;
    missed += !report(QStringLiteral("resident memory growth"), double(residentKiB() - rssBefore), QStringLiteral("KiB"),
                      Goal::Below, 2048.0);
    missed += !report(QStringLiteral("descriptors gained"), double(entries(QStringLiteral("/proc/self/fd")) - fdsBefore),
                      QString(), Goal::AtMost, 2.0);
    missed += !report(QStringLiteral("threads after / before"),
                      double(entries(QStringLiteral("/proc/self/task"))) / threadsBefore, QStringLiteral("x"),
                      Goal::AtMost, 1.0);
    missed += !engine.state().serviceUp;
    std::printf("  goals missed: %d\n", missed);
    return 0;
}
