#pragma once

#include "service/service.h"
#include "testenv.h"

namespace quenlo::test { // lambdas, as in testenv.h

/// The whole file, or nothing when it cannot be read.
inline const auto readAll = [](const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
};
/// Writes an executable /bin/sh script with \a body; false on failure.
inline const auto writeScript = [](const QString &path, const QByteArray &body) {
    return writeFile(path, "#!/bin/sh\n" + body)
        && QFile::setPermissions(path, QFile::permissions(path) | QFile::ExeOwner);
};
/// \a path in single quotes, for pasting into a script (test paths hold no quotes).
inline const auto shellQuoted = [](const QString &path) { return "'" + path.toUtf8() + "'"; };

} // namespace quenlo::test
