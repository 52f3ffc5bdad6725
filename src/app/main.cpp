#include "app/controller.h"
#include "app/processmode.h"
#include "app/processvalues.h"
#include "selftest/selftest.h"

#include <QApplication>
#include <QStringList>
#include <QTimer>

int main(int argc, char **argv)
{
    quenlo::initProcessValues();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const quenlo::ProcessMode mode = quenlo::chooseProcessMode(arguments);
    switch (mode.kind) {
    case quenlo::ProcessMode::HTTPSSelfTest:
        return quenlo::runHTTPSSelfTest();
    case quenlo::ProcessMode::SelfTest:
        return quenlo::runSelfTest(mode.rootArgument);
    case quenlo::ProcessMode::Application:
        break;
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("local.library.menubar"));
    QApplication::setApplicationDisplayName(quenlo::appDisplayName);
    QApplication::setDesktopFileName(quenlo::launchAgentLabel);
    quenlo::Controller controller;
    QTimer::singleShot(0, &controller, [&controller] { controller.applicationDidFinishLaunching(); });
    application.exec();
    return 0;
}
