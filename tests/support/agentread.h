#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace quenlo::test {

/// What a launchd agent's property list holds, as libplist reads it.
struct PlistRead {
    QStringList keys; ///< every top-level key, sorted
    QString label; ///< "Label" when it is a string
    QStringList arguments; ///< "ProgramArguments" when it is an array; non-strings read as ""
    bool argumentsAllStrings = true;
    std::optional<bool> runAtLoad; ///< "RunAtLoad" when it is a boolean
};

/// Reads \a bytes (any property-list format) through libplist; nothing unless the top level
/// is a dictionary.
std::optional<PlistRead> readPlist(const QByteArray &bytes);

} // namespace quenlo::test
