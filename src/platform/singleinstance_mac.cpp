#include "platform/singleinstance.h"

namespace quenlo {

// A Mac login session has no session bus; the socket in the per-user temporary folder is the claim.
bool SingleInstance::claimOnce() { return claimSocket(); }

} // namespace quenlo
