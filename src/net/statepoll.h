#pragma once

#include "model/menustate.h"
#include "net/localapi.h"

#include <optional>

namespace quenlo {

/// \brief What one poll of the local server found.
struct LocalPoll {
    MenuState state;
    std::optional<TranscriptionWorker> worker;
};

/// The menu state from /api/menu-status, or from the older endpoints when that is missing.
/// Blocking: up to about 16 s when every request times out.
MenuState pollLocalState(const ServiceAddress &server);
/// Fills \a state from /api/version and /api/sync-status (servers without /api/menu-status).
void fallbackState(const ServiceAddress &server, MenuState &state);
/// pollLocalState() and the transcription worker's switches.
LocalPoll pollLocal(const ServiceAddress &server);

} // namespace quenlo
