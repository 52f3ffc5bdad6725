#pragma once

#include "service/service.h"

#include <QByteArray>
#include <QString>

namespace quenlo {
/// Lets QCOMPARE print an outcome as "failed(message)".
char *toString(const ServiceOutcome &outcome);
} // namespace quenlo

namespace quenlo::test {

/// The whole file, or nothing when it cannot be read.
QByteArray readAll(const QString &path);
/// Writes an executable /bin/sh script with \a body; false on failure.
bool writeScript(const QString &path, const QByteArray &body);
/// \a path in single quotes, for pasting into a script (test paths hold no quotes).
QByteArray shellQuoted(const QString &path);

} // namespace quenlo::test
