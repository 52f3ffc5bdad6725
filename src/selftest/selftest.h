#pragma once

#include "model/settings.h"

#include <QString>

#include <cstdio>
#include <optional>

namespace quenlo {

class QuenloAPI;

/// \brief Checks the whole supervision chain on the project root and prints OK/FAIL/SKIP lines.
///
/// \a rootArgument is the folder as typed after "--selftest" ("~" allowed at its start);
/// without it the root is found as the menu finds it, without a dialog. Writes only to \a out.
/// Returns the process's exit status: 0 when no check failed.
int runSelfTest(const std::optional<QString> &rootArgument, const Settings &settings, std::FILE *out = stdout);

/// Logs in to the NAS library (quenloOrigin()) with the code on standard input and checks the
/// session; runHTTPSSelfTest(api, stdin, stdout) with a client that keeps no session.
int runHTTPSSelfTest(const Settings &settings);

/// \brief The HTTPS self-test through \a api: reads \a in to its end, prints to \a out.
///
/// Prints "HTTPS login and authenticated session: OK" and returns 0 when the session is
/// authenticated; prints "HTTPS connection selftest failed" and returns 1 for unreadable
/// input or a failed request; prints nothing and returns 1 when the server does not call the
/// session authenticated.
int runHTTPSSelfTest(QuenloAPI &api, std::FILE *in, std::FILE *out);

} // namespace quenlo
