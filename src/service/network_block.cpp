#include "service/network_block.h"

#include <windows.h>

#include "app/settings.h"
#include "service/adapters.h"
#include "service/firewall.h"

namespace calmlane {

void publishNetworkState(NetworkState state) {
    try {
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", static_cast<unsigned long>(state));
    } catch (...) {
        // The published state is informational; the block itself is unaffected.
    }
}

bool blockNetwork() {
    bool blocked = false;
    try {
        if (readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0) != 1) {
            publishNetworkState(NetworkState::Failed);
            return false;
        }
        const bool adapterMode = readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1) == 0;
        blocked = adapterMode ? pauseAdapters() : firewallBlock();
    } catch (...) {
        // An unexpected failure is a failed block: undo whatever was begun.
        restore();
        blocked = false;
    }
    publishNetworkState(blocked ? NetworkState::Blocked : NetworkState::Failed);
    return blocked;
}

bool restore() {
    publishNetworkState(NetworkState::Restoring);
    if (!releaseFirewall()) return false;
    const std::vector<std::wstring> journal = savedDevices();
    if (journal.empty()) {
        publishNetworkState(NetworkState::Ready);
        return true;
    }
    const bool released = replayJournal(journal);
    publishNetworkState(released ? NetworkState::Ready : NetworkState::Failed);
    return released;
}

bool somethingLeftBlocked() { return firewallEngineOpen() || !savedDevices().empty(); }

}  // namespace calmlane
