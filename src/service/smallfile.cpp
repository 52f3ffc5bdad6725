#include "service/smallfile.h"

#include <QFile>
#include <QFileInfo>

namespace quenlo {

std::optional<QByteArray> readSmallFile(const QString &path, qint64 limit, QString *error)
{
    const auto fail = [error](const QString &reason) -> std::optional<QByteArray> {
        if (error != nullptr)
            *error = reason;
        return std::nullopt;
    };
    const QFileInfo info(path);
    // Opening a FIFO blocks until a writer appears, so the kind is checked before open().
    // A missing file goes on to open(), which words the system's reason.
    if (info.exists() && !info.isFile())
        return fail(QString());
    if (info.exists() && info.size() > limit)
        return fail(QString());
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    // The size can change between the look and the read; one byte more tells it grew.
    QByteArray bytes = file.read(limit + 1);
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    if (bytes.size() > limit)
        return fail(QString());
    return bytes;
}

} // namespace quenlo
