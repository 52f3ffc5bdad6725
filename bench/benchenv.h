#pragma once

#include <QByteArray>
#include <QString>

namespace quenlo::bench {

/// \brief Points HOME and the XDG folders into a new temporary folder and returns it.
///
/// Call before the Q*Application exists, so nothing of the user's (settings, a registered
/// project, an autostart entry) reaches the companion under measurement.
QString isolateEnvironment();
/// Writes \a bytes to \a path, creating its folder; false on failure.
bool writeFile(const QString &path, const QByteArray &bytes);

} // namespace quenlo::bench
