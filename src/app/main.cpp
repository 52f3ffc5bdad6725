#include "app/displaycheck.h"
#include "app/processmode.h"
#include "app/trayview.h"
#include "engine/controller.h"
#include "model/identity.h"
#include "model/settings.h"
#include "platform/singleinstance.h"
#include "platform/wakewatcher.h"
#include "selftest/selftest.h"

#include <QApplication>
#include <QStandardPaths>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <optional>

int main(int argc, char **argv)
{
    const quenlo::Settings settings = quenlo::settingsFromEnvironment();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const quenlo::ProcessMode mode = quenlo::chooseProcessMode(arguments);
    switch (mode.kind) {
    case quenlo::ProcessMode::HTTPSSelfTest:
        return quenlo::runHTTPSSelfTest(settings);
    case quenlo::ProcessMode::SelfTest:
        return quenlo::runSelfTest(mode.rootArgument, settings);
    case quenlo::ProcessMode::Application:
        break;
    }

    if (const auto why = quenlo::missingDisplay(qEnvironmentVariable("QT_QPA_PLATFORM"), qEnvironmentVariable("DISPLAY"),
                                                qEnvironmentVariable("WAYLAND_DISPLAY"))) {
        std::fputs(quenlo::noDisplayLine(*why).toLocal8Bit().constData(), stderr);
        return 1;
    }
    // Every argument but the program's name is ignored, Qt's own ("-platform", "-reverse") too.
    int qtArgc = 1;
    char *qtArgv[] = {argv[0], nullptr};
    std::optional<quenlo::DisplayGuard> guard(std::in_place);
    QApplication application(qtArgc, qtArgv);
    guard.reset();
    QApplication::setApplicationName(QStringLiteral("local.library.menubar"));
    QApplication::setApplicationDisplayName(quenlo::appDisplayName);
    QApplication::setDesktopFileName(quenlo::launchAgentLabel);

    // One companion per user and settings location: a second start asks the first to refresh.
    quenlo::SingleInstance instance(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    if (!instance.claim())
        return 0;

    quenlo::ControllerOptions options;
    options.settings = settings;
    quenlo::Controller engine(std::move(options));
    quenlo::TrayOptions trayOptions;
    trayOptions.trayWait = settings.trayWait;
    quenlo::TrayView tray(engine, std::move(trayOptions));
    QObject::connect(&engine, &quenlo::Controller::quitRequested, &application, &QCoreApplication::quit);
    QObject::connect(&instance, &quenlo::SingleInstance::activated, &engine, &quenlo::Controller::refreshNow);
    quenlo::WakeWatcher wake;
    QObject::connect(&wake, &quenlo::WakeWatcher::woke, &engine, &quenlo::Controller::refreshNow);
    QTimer::singleShot(0, &engine, [&] {
        tray.show();
        engine.start();
    });
    application.exec();
    return 0;
}
