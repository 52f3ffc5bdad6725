#pragma once

#include <QString>

#include <cstdio>

namespace quenlo {

/// Writes \a text and a line feed to \a out as UTF-8, whatever the locale, and flushes it,
/// so a script reading a pipe sees each check's line as soon as the check ends.
void printLine(std::FILE *out, const QString &text);

} // namespace quenlo
