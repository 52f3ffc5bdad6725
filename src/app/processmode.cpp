#include "app/processmode.h"

namespace quenlo {

ProcessMode chooseProcessMode(const QStringList &arguments)
{
    if (arguments.contains(QStringLiteral("--selftest-https")))
        return {ProcessMode::HTTPSSelfTest, std::nullopt};
    const qsizetype at = arguments.indexOf(QStringLiteral("--selftest"));
    if (at < 0)
        return {};
    ProcessMode mode{ProcessMode::SelfTest, std::nullopt};
    if (at + 1 < arguments.size())
        mode.rootArgument = arguments.at(at + 1);
    return mode;
}

} // namespace quenlo
