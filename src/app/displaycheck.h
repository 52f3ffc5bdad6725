#pragma once

#include <QString>

#include <optional>

namespace quenlo {

/// Why the tray cannot be shown at all, or nothing when a display may be there: on Linux,
/// neither DISPLAY nor WAYLAND_DISPLAY and no platform chosen through QT_QPA_PLATFORM.
std::optional<QString> missingDisplay(const QString &platform, const QString &display, const QString &wayland);

/// \brief While alive, a platform plugin that cannot start ends the process with one line of
/// the companion's own on standard error and status 1, instead of Qt's abort.
///
/// Construct it right before the QApplication and let it go right after.
class DisplayGuard final {
public:
    DisplayGuard();
    ~DisplayGuard();
    DisplayGuard(const DisplayGuard &) = delete;
    DisplayGuard &operator=(const DisplayGuard &) = delete;
};

/// The line printed when there is no display: "quenlo-menubar: " and \a why.
QString noDisplayLine(const QString &why);

} // namespace quenlo
