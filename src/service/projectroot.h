#pragma once

#include "service/applicationpath.h"

#include <QSettings>
#include <QString>

#include <optional>

namespace quenlo {

/// Largest registration file of the desktop client that is read at all (1 MiB).
inline constexpr qint64 registrationFileLimit = 1024 * 1024;

/// \brief The companion's own settings store: the user-defaults domain
/// "local.library.menubar" on macOS, "$XDG_CONFIG_HOME/local.library.menubar.conf" on Linux.
///
/// Holds the remembered project root under projectPathKey.
QSettings companionSettings();

/// True when "server.py" exists in \a folder as an entry of any kind (file, folder, link to
/// something that exists). Nothing else about the folder is looked at. False for "".
bool looksLikeProject(const QString &folder);

/// The folder beside the running application, where a companion placed inside a project
/// folder finds that project.
QString folderBesideApplication();

/// \brief Finds the project root without asking anyone.
///
/// First \a applicationFolder (the folder beside the application): when it looks like a
/// project, it is remembered under projectPathKey, replacing any earlier value, and returned.
/// Otherwise the remembered path, when it looks like a project; a stale one is left as it
/// is. \a interactive exists for the callers' sake: no dialog is ever shown.
/// Paths come back absolute and clean (no trailing slash, no "." or "..").
std::optional<QString> resolveProjectRoot(
    bool interactive, const QString &applicationFolder = folderBesideApplication());

/// Where the desktop client registers its project:
/// GenericDataLocation + "/LocalQuenloClient/connection.json".
QString registrationFilePath();

/// \brief The project path in the bytes of a registration file, or nothing.
///
/// The bytes must be UTF-8 JSON whose top level is an object with only string values; its
/// "project_path" must begin with "/". The folder itself is not examined.
std::optional<QString> projectFromRegistration(const QByteArray &bytes);

/// The project the desktop client registered in \a file (registrationFilePath() by default):
/// nothing when the file is missing, unreadable, larger than registrationFileLimit or not
/// a valid registration.
std::optional<QString> registeredProject(const QString &file = registrationFilePath());

} // namespace quenlo
