#pragma once

#include "platform/platformtable.h"

#include <QString>

namespace quenlo {

/// The absolute path of the running executable; empty when it cannot be found out.
QString executablePath();

/// \brief What the user sees as the application for the executable at \a executable.
///
/// On macOS the bundle "…/X.app" when the executable is its "X.app/Contents/MacOS/…", and
/// the executable itself when it runs unbundled; on Linux always the executable. Pure, so
/// the macOS rule is tested on Linux too.
QString applicationPath(const QString &executable, PlatformTable::OS os);

/// applicationPath() of the running executable.
QString runningApplicationPath(PlatformTable::OS os = currentPlatform().os);

/// The folder that holds \a application (a bundle or an executable); empty for an empty path.
QString folderHolding(const QString &application);

} // namespace quenlo
