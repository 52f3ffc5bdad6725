#pragma once

#include <QString>
#include <QStringList>

#include <chrono>

namespace quenlo {

/// How long runCapturing() lets a program run before it gives up on it.
inline constexpr std::chrono::milliseconds runCapturingBound { 30000 };

/// \brief Runs the program at \a path with \a arguments and returns what it wrote to standard output.
///
/// Standard error goes to the null device; standard input and the environment are inherited.
/// The result is empty when the program cannot be started, when its output is not valid
/// UTF-8, or when it is still running after \a bound (it is then killed). The exit status is
/// not looked at. Blocks the calling thread; needs no event loop.
QString runCapturing(
    const QString &path, const QStringList &arguments, std::chrono::milliseconds bound = runCapturingBound);

} // namespace quenlo
