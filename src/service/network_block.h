#pragma once
// The block on "START" and the release procedure shared by both interruption modes.
#include <string>
#include <vector>

#include "app/constants.h"

namespace calmlane {

// Writes HKLM "NetworkState"; a failed write is ignored.
void publishNetworkState(NetworkState state);

// The block on "START": mode checks, the configured mode's block, NetworkState 1 or 3.
bool blockNetwork();

// The release procedure: closes the firewall engine and replays the adapter journal.
// True when nothing is left blocked.
bool restore();

// True while the firewall engine is open or the adapter journal lists devices.
bool somethingLeftBlocked();

}  // namespace calmlane
