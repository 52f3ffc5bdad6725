#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace quenlo {

/// \brief What the process does, chosen from its command line.
struct ProcessMode {
    enum Kind { Application, SelfTest, HTTPSSelfTest };
    Kind kind = Application;
    /// For SelfTest: the argument after "--selftest", whatever it looks like.
    std::optional<QString> rootArgument;
};

/// Element 0 is the program path; it takes part in the match like any other element.
ProcessMode chooseProcessMode(const QStringList &arguments);

} // namespace quenlo
