// The longest stall of the GUI thread while the work queue waits on a server that accepts
// connections and never answers. A 1 ms precise timer records the gaps between its ticks,
// first on an idle event loop (the machine's own noise), then with a controller in local mode
// whose every request hangs, while the menu is opened and closed and commands are chosen.

#include "benchenv.h"
#include "harness.h"

#include "app/notifier.h"
#include "app/trayview.h"
#include "engine/controller.h"
#include "fakehttpserver.h"

#include <QAction>
#include <QApplication>
#include <QEventLoop>
#include <QStandardPaths>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

using namespace quenlo;
using namespace quenlo::bench;

class SilentNotifier final : public Notifier {
public:
    void notify(const QString &, const QString &) override { }
};

/// Gaps between the ticks of a 1 ms precise timer over \a ms, while \a poke runs every 250 ms.
Samples tickGaps(int ms, const std::function<void(int)> &poke)
{
    Samples gaps;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(1);
    Clock::time_point last = Clock::now();
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const auto now = Clock::now();
        gaps.add(std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    });
    QTimer pokes;
    pokes.setInterval(250);
    int round = 0;
    QObject::connect(&pokes, &QTimer::timeout, [&] { poke(round++); });
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    last = Clock::now();
    tick.start();
    pokes.start();
    loop.exec();
    return gaps;
}

void describe(const QString &what, const Samples &gaps)
{
    note(what + QStringLiteral(": ticks"), double(gaps.size()), QString());
    note(what + QStringLiteral(": gap p99"), gaps.quantile(0.99), QStringLiteral("ms"));
    note(what + QStringLiteral(": gap p99.9"), gaps.quantile(0.999), QStringLiteral("ms"));
    note(what + QStringLiteral(": gaps > 16 ms"), double(gaps.countAbove(16)), QString());
}

} // namespace

int main(int argc, char **argv)
{
    const int windowMs = argc > 1 ? std::atoi(argv[1]) : 8000;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString home = isolateEnvironment();
    QStandardPaths::setTestModeEnabled(true);
    QApplication app(argc, argv);

    const Samples idle = tickGaps(windowMs, [](int) {});

    test::FakeHttpServer server;
    test::FakeHttpServer::Reply hang;
    hang.hang = true;
    server.setFallback(hang);
    const QString project = home + QStringLiteral("/project");
    writeFile(project + QStringLiteral("/server.py"), "APP_VERSION = \"5\"\n");

    ControllerOptions options;
    options.settings.service.port = server.port();
    options.findProjectRoot = [project] { return std::optional<QString>(project); };
    options.platform = linuxPlatform(home + QStringLiteral("/config"));
    options.applicationPath = QStringLiteral("/opt/quenlo/quenlo-menubar");
    Controller controller(std::move(options));
    TrayOptions trayOptions;
    trayOptions.notifier = std::make_unique<SilentNotifier>();
    trayOptions.openUrl = [](const QUrl &) {};
    trayOptions.showTray = false;
    TrayView view(controller, std::move(trayOptions));
    controller.start();

    const Samples busy = tickGaps(windowMs, [&](int round) {
        switch (round % 5) {
        case 0:
            controller.menuOpened();
            break;
        case 1:
            controller.refresh();
            break;
        case 2:
            controller.syncAll();
            break;
        case 3:
            controller.chooseAutosync(3);
            break;
        case 4:
            controller.menuClosed();
            break;
        }
    });
    // The figure means something only if the queue really was stuck on the silent server.
    const qsizetype asked = server.requests().size();
    const int pending = controller.work().pending();

    heading(QStringLiteral("GUI-thread stall while work waits on a server that never answers (%1 ms windows)")
                .arg(windowMs));
    if (asked == 0 || pending == 0) {
        std::fprintf(stderr, "bench_stall: the work queue was not blocked (requests %lld, pending %d)\n",
            qlonglong(asked), pending);
        std::fflush(stdout);
        _exit(2);
    }
    note(QStringLiteral("requests the silent server received"), double(asked), QString());
    note(QStringLiteral("jobs waiting on work at the end"), double(pending), QString());
    describe(QStringLiteral("idle loop"), idle);
    note(QStringLiteral("idle loop: longest gap"), idle.max(), QStringLiteral("ms"));
    describe(QStringLiteral("controller"), busy);
    const bool met
        = report(QStringLiteral("controller: longest gap"), busy.max(), QStringLiteral("ms"), Goal::Below, 16.0);
    std::printf("  goals missed: %d\n", met ? 0 : 1);
    std::fflush(stdout);
    // The work thread is detached and still inside a request to the silent server; ending the
    // process here spares the benchmark the wait for its time-outs.
    _exit(0);
}
