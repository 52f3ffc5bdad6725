// Start-up inside one process: from the QApplication's construction to the first applied poll
// of a Controller in local mode on the real demo library (already running). The same figure
// for the whole process, exec included, is measured by procbench.py from the outside.

#include "benchenv.h"
#include "demolibrary.h"
#include "harness.h"

#include "app/notifier.h"
#include "app/trayview.h"
#include "engine/controller.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

using namespace quenlo;
using namespace quenlo::bench;

class SilentNotifier final : public Notifier {
public:
    void notify(const QString &, const QString &) override { }
};

/// Milliseconds from construction to the first pollApplied, or a negative value on time-out.
double firstPoll(const QString &root, quint16 port, const QString &configHome)
{
    const auto started = Clock::now();
    ControllerOptions options;
    options.settings.service.port = port;
    options.findProjectRoot = [root] { return std::optional<QString>(root); };
    options.platform = linuxPlatform(configHome);
    options.applicationPath = root + QStringLiteral("/quenlo-menubar");
    Controller controller(std::move(options));
    TrayOptions trayOptions;
    trayOptions.notifier = std::make_unique<SilentNotifier>();
    trayOptions.openUrl = [](const QUrl &) {};
    trayOptions.showTray = false;
    TrayView view(controller, std::move(trayOptions));
    double elapsed = -1;
    bool serviceUp = false;
    QEventLoop loop;
    QObject::connect(&controller, &Controller::pollApplied, &loop, [&] {
        if (elapsed < 0) {
            elapsed = msSince(started);
            serviceUp = controller.state().serviceUp;
        }
        loop.quit();
    });
    QTimer::singleShot(0, &controller, [&controller] { controller.start(); });
    QTimer::singleShot(10000, &loop, &QEventLoop::quit);
    loop.exec();
    // Let the second poll (queued by the video-tools check) finish before the next round.
    QEventLoop drain;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &drain, [&] {
        if (controller.work().pending() == 0)
            drain.quit();
    });
    poll.start(5);
    drain.exec();
    return serviceUp ? elapsed : -1;
}

} // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString home = isolateEnvironment();
    QStandardPaths::setTestModeEnabled(true);

    const auto beforeApp = Clock::now();
    QApplication app(argc, argv);
    const double appMs = msSince(beforeApp);

    // Started before any clock runs: "with the server already running".
    DemoLibrary demo;
    if (!demo.startWithToolsReady(freeLoopbackPort())) {
        std::fprintf(stderr, "bench_startup: the demo library did not start\n");
        return 2;
    }

    Samples later;
    double first = -1;
    for (int i = 0; i < rounds; ++i) {
        const double ms = firstPoll(demo.root(), demo.port(), home + QStringLiteral("/config"));
        if (ms < 0) {
            std::fprintf(stderr, "bench_startup: no poll with the server up within 10 s\n");
            return 2;
        }
        if (i == 0)
            first = ms;
        else
            later.add(ms);
    }

    heading(QStringLiteral("Start-up in process: Controller construction to the first applied poll (%1 rounds)")
                .arg(rounds));
    note(QStringLiteral("QApplication construction"), appMs, QStringLiteral("ms"));
    const bool met = report(QStringLiteral("first Controller: construction to pollApplied"), first,
        QStringLiteral("ms"), Goal::Below, 300.0);
    note(QStringLiteral("QApplication + first Controller"), appMs + first, QStringLiteral("ms"));
    if (later.size() > 0) {
        note(QStringLiteral("later Controllers: median"), later.median(), QStringLiteral("ms"));
        note(QStringLiteral("later Controllers: max"), later.max(), QStringLiteral("ms"));
    }
    std::printf("  goals missed: %d\n", met ? 0 : 1);
    return 0;
}
