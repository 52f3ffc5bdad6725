#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <optional>

namespace quenlo {

/// The text the Linux variant reports for an autostart entry that does not read back right.
inline const QString corruptAutostartText = QStringLiteral("开机启动文件内容不正确");

/// \brief One argument of a desktop entry's Exec key, exactly as it is written in the file.
///
/// Always double-quoted; inside the quotes '"', '`', '$' and '\' get a backslash, '%'
/// is doubled, and then the value's own escapes apply ("\\" for a backslash, "\n", "\t",
/// "\r"), so "$" is written "\\$" and a backslash "\\\\".
QString execArgument(const QString &argument);

/// \brief Splits an Exec value as written in the file into the program and its arguments.
///
/// Undoes the value's escapes, then the quoting: double quotes with the four backslash
/// escapes, single quotes taken literally, a backslash outside quotes escaping the next
/// character, and "%%" giving "%". Other field codes ("%f", "%U", …) are left as written.
/// Nothing for an unterminated quote.
std::optional<QStringList> parseExecValue(const QString &value);

/// \brief The XDG autostart entry that starts \a executable at login.
///
/// A "[Desktop Entry]" of Type "Application", Name "本地Quenlo", Exec \a executable quoted
/// by execArgument(), and "X-GNOME-Autostart-enabled=true".
QByteArray autostartDesktopEntry(const QString &executable);

/// \brief The keys and raw values (escapes kept) of the "Desktop Entry" group in \a bytes.
///
/// Nothing unless the bytes are UTF-8 without NUL, every line is blank, a comment, a group
/// header or a key-value pair, "Desktop Entry" is the first group, no group appears twice
/// and no key of that group appears twice.
std::optional<QMap<QString, QString>> desktopEntryKeys(const QByteArray &bytes);

/// \brief Checks \a bytes as the autostart entry for \a program.
///
/// Nothing when Type is "Application", Exec starts \a program, X-GNOME-Autostart-enabled is
/// "true" and Hidden is not "true"; corruptAutostartText otherwise, also for malformed
/// bytes.
std::optional<QString> checkAutostartEntry(const QByteArray &bytes, const QString &program);

} // namespace quenlo
