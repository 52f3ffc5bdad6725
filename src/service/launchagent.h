#pragma once

#include "platform/platformtable.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace quenlo {

inline const QString launchAgentWriteFailed = QStringLiteral("写入开机启动设置失败");
inline const QString launchAgentDeleteFailed = QStringLiteral("删除开机启动设置失败");
/// Largest agent file that checkLaunchAgentFile() reads back (64 KiB).
inline constexpr qint64 launchAgentFileLimit = 64 * 1024;

/// \brief The launch-at-login file: launchAgentFolder + "/" + launchAgentLabel + launchAgentExtension.
///
/// Launch at login is on exactly when this file exists; nothing about it is kept in memory.
QString launchAgentURL(const PlatformTable &table = currentPlatform());

/// \brief The bytes of the launch-at-login file for \a appPath: the launchd agent as an XML
/// property list on macOS, the XDG autostart entry on Linux.
///
/// Nothing when \a appPath holds a control character other than tab, line feed or carriage
/// return, which neither format can carry.
std::optional<QByteArray> launchAgentContent(const QString &appPath, const PlatformTable &table);

/// \brief Writes launchAgentContent() to \a to atomically, creating missing parent folders.
///
/// Nothing on success; otherwise the reason, in the system's words where it has them. An
/// existing file is replaced; on failure it is left as it was.
std::optional<QString> writeLaunchAgent(
    const QString &to, const QString &appPath, const PlatformTable &table = currentPlatform());

/// True when a file (or any entry) exists at launchAgentURL().
bool launchAgentEnabled(const PlatformTable &table = currentPlatform());

/// \brief Switches launch at login on for the running application.
///
/// Writes the file and, on macOS, loads it with "launchctl bootstrap gui/UID FILE", whose
/// outcome is not looked at: the file decides. launchAgentWriteFailed when writing failed
/// (nothing is loaded then), nothing on success.
std::optional<QString> enableLaunchAgent();
/// enableLaunchAgent() for the application at \a appPath (a bundle on macOS, the executable
/// on Linux), with the programs and places of \a table.
std::optional<QString> enableLaunchAgent(const QString &appPath, const PlatformTable &table = currentPlatform());

/// \brief Switches launch at login off.
///
/// On macOS first "launchctl bootout gui/UID/LABEL" (outcome not looked at), then the file
/// is deleted. launchAgentDeleteFailed when it is still there afterwards; nothing when it
/// is gone, including when there was none.
std::optional<QString> disableLaunchAgent(const PlatformTable &table = currentPlatform());

/// \brief Reads the file at \a path back and checks it key by key.
///
/// macOS: any property-list format, checked by checkAgentPlist(). Linux: the autostart
/// entry, whose Exec must start \a appPath (checkAutostartEntry()). Nothing when it holds;
/// otherwise the system's text when the file cannot be read, or the platform's text for
/// a corrupt file (corruptPlistText, corruptAutostartText), also for one that is not a
/// regular file or is larger than launchAgentFileLimit.
std::optional<QString> checkLaunchAgentFile(
    const QString &path, const QString &appPath, const PlatformTable &table = currentPlatform());

} // namespace quenlo
