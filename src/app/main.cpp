#include "app/processmode.h"
#include "app/processvalues.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

int main(int argc, char **argv)
{
    quenlo::initProcessValues();
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    const quenlo::ProcessMode mode = quenlo::chooseProcessMode(arguments);
    switch (mode.kind) {
    case quenlo::ProcessMode::HTTPSSelfTest:
        std::puts("--selftest-https is not built yet");
        return 2;
    case quenlo::ProcessMode::SelfTest:
        std::puts("--selftest is not built yet");
        return 2;
    case quenlo::ProcessMode::Application:
        break;
    }
    std::puts("the tray companion is not built yet");
    return 2;
}
