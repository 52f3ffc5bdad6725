#include "app/processmode.h"
#include "app/trayview.h"
#include "engine/controller.h"
#include "model/identity.h"
#include "model/settings.h"
#include "selftest/selftest.h"

#include <QApplication>
#include <QStringList>
#include <QTimer>

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

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("local.library.menubar"));
    QApplication::setApplicationDisplayName(quenlo::appDisplayName);
    QApplication::setDesktopFileName(quenlo::launchAgentLabel);

    quenlo::ControllerOptions options;
    options.settings = settings;
    quenlo::Controller engine(std::move(options));
    quenlo::TrayOptions trayOptions;
    trayOptions.trayWait = settings.trayWait;
    quenlo::TrayView tray(engine, std::move(trayOptions));
    QObject::connect(&engine, &quenlo::Controller::quitRequested, &application, &QCoreApplication::quit);
    QTimer::singleShot(0, &engine, [&] {
        tray.show();
        engine.start();
    });
    application.exec();
    return 0;
}
