#include "service/network_block.h"

#include <windows.h>

#include <algorithm>

#include "app/policy.h"
#include "app/settings.h"
#include "service/adapters.h"
#include "service/firewall.h"
#include "service/journal.h"
#include "service/log.h"

namespace calmlane {

namespace {

// Policy values outside their range, each logged once while it stays as it is.
void logIgnoredPolicies(const std::vector<std::wstring>& ignored) {
    static std::vector<std::wstring> logged;  // one block runs at a time
    for (const std::wstring& line : ignored) {
        if (std::find(logged.begin(), logged.end(), line) == logged.end()) {
            logEvent(L"Policy value outside its range ignored: " + line);
        }
    }
    logged = ignored;
}

}  // namespace

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
        // The organisation's NetworkMode policy, read at every "START", wins over the installed choice.
        const Policies policies = readPolicies();
        logIgnoredPolicies(policies.ignored);
        const BlockMode mode =
            blockMode(policies.networkMode, readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0),
                      readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1));
        if (mode == BlockMode::None) {
            publishNetworkState(NetworkState::Failed);
            return false;
        }
        blocked = mode == BlockMode::Adapters ? pauseAdapters() : firewallBlock();
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
