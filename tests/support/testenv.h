#pragma once

#include <QDir>
#include <QString>

#include <chrono>
#include <functional>

namespace quenlo::test {

/// The private folder run-isolated made for this test (falls back to a temporary one).
QString scratchDir();
/// A new empty folder inside scratchDir().
QString makeFolder(const QString &name);
/// Copies examples/demo-library into a new folder and returns its path.
QString copyDemoLibrary(const QString &name = QStringLiteral("demo"));
/// Writes \a bytes to \a path, creating parent folders; false on failure.
bool writeFile(const QString &path, const QByteArray &bytes);
/// Polls \a condition every 20 ms until it holds or \a timeout passes.
bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

QString sourceDir();
QString menubarBinary();

} // namespace quenlo::test
