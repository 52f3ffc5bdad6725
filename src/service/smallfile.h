#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

namespace quenlo {

/// \brief Reads the whole of a regular file that is at most \a limit bytes long.
///
/// Nothing when the path is missing, unreadable, not a regular file (a folder, a FIFO that
/// would block, a device that never ends) or longer than \a limit; the file is then never
/// read past \a limit + 1 bytes. \a error, when given, receives the reason: the system's
/// text for a file that cannot be opened or read, empty for one that is too large or of
/// the wrong kind.
std::optional<QByteArray> readSmallFile(const QString &path, qint64 limit, QString *error = nullptr);

} // namespace quenlo
