#pragma once

#include <QString>

#include <optional>

namespace quenlo {

/// Checks the whole supervision chain on the project root and prints OK/FAIL/SKIP lines.
/// Returns the process's exit status (0 when nothing failed).
int runSelfTest(const std::optional<QString> &rootArgument);

/// Logs in to the NAS library with the code on standard input and checks the session.
/// Returns the process's exit status.
int runHTTPSSelfTest();

} // namespace quenlo
