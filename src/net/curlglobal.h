#pragma once

namespace quenlo {

/// Initialises libcurl once per process and ignores SIGPIPE, so a peer that closes early
/// cannot end the process. Safe to call from any thread, any number of times.
void ensureCurlReady();

} // namespace quenlo
