#include "service/adapters.h"
#include "service/journal.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

#include "app/handles.h"
#include "app/settings.h"
#include "service/adapter_seam.h"
#include "service/log.h"
#include "service/network_block.h"

namespace calmlane {

namespace {

// ipifcons.h: IF_TYPE_ETHERNET_CSMACD, IF_TYPE_IEEE80211, IF_TYPE_WWANPP (GSM/LTE modems) and
// IF_TYPE_WWANPP2 (CDMA); MinGW's header lacks the last two. A built-in mobile-broadband modem is a
// hardware interface like any other and must go down with the rest.
constexpr DWORD IfTypeEthernet = 6;
constexpr DWORD IfTypeWifi = 71;
constexpr DWORD IfTypeWwanPp = 243;
constexpr DWORD IfTypeWwanPp2 = 244;
constexpr ULONG NodeStarted = 0x8;           // DN_STARTED
constexpr ULONG ProblemDisabled = 22;        // CM_PROB_DISABLED
constexpr DWORD NoSuchDevNode = 13;          // CR_NO_SUCH_DEVNODE

bool physicalType(DWORD type) {
    return type == IfTypeEthernet || type == IfTypeWifi || type == IfTypeWwanPp || type == IfTypeWwanPp2;
}

std::wstring guidText(const GUID& guid) {
    wchar_t text[64] = {};
    return StringFromGUID2(guid, text, 64) > 0 ? std::wstring(text) : std::wstring();
}

// The device is still what we enumerated: a physical interface that is up, a started node without problem.
bool stillEligible(const PhysicalDevice& device) {
    adapter::InterfaceRow row;
    if (!adapter::interfaceRow(device.luid, row)) return false;
    if (!row.hardwareInterface || row.adminStatus != 1 || !physicalType(row.type)) return false;
    ULONG status = 0, problem = 0;
    if (adapter::nodeStatus(device.devInst, status, problem) != 0) return false;
    return (status & NodeStarted) != 0 && problem == 0;
}

// Writes and flushes the journal entry for a device; false (entry removed again) when any step fails.
bool claim(const std::wstring& id) {
    try {
        writeString(HKEY_LOCAL_MACHINE, Journal, id.c_str(), id);
        UniqueKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Journal, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
            throw std::runtime_error("Cannot open adapter recovery journal.");
        }
        if (RegFlushKey(key.get()) != ERROR_SUCCESS) throw std::runtime_error("Cannot flush adapter recovery journal.");
        return true;
    } catch (...) {
        deleteSavedDevice(id);
        return false;
    }
}

bool pauseEach(const std::vector<PhysicalDevice>& devices) {
    for (const PhysicalDevice& device : devices) {
        if (!stillEligible(device)) return false;
        if (!claim(device.instanceId)) return false;
        if (!stillEligible(device)) {
            deleteSavedDevice(device.instanceId);
            return false;
        }
        if (adapter::disableNode(device.devInst) != 0) {
            // The node may still be on its way down: its entry stays, and the abort's release settles it
            // (a started device is simply cleared, a disabled one enabled again).
            logEvent(L"Adapter pause failed; device not claimed: " + device.instanceId);
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<PhysicalDevice> physicalDevices() {
    std::vector<PhysicalDevice> result;
    std::vector<adapter::InterfaceRow> rows;
    if (!adapter::interfaceTable(rows)) return result;
    std::vector<InterfaceState> interfaces;
    for (const adapter::InterfaceRow& row : rows) {
        if (row.hardwareInterface && physicalType(row.type)) {
            interfaces.push_back({guidText(row.interfaceGuid), row.luid, row.adminStatus});
        }
    }
    std::vector<adapter::NetDevice> devices;
    if (!adapter::netDevices(devices)) return result;
    for (const adapter::NetDevice& device : devices) {
        if (device.netCfgInstanceId.empty()) continue;
        const InterfaceState* match = nullptr;
        for (const InterfaceState& candidate : interfaces) {
            if (_wcsicmp(candidate.guid.c_str(), device.netCfgInstanceId.c_str()) == 0) {
                match = &candidate;
                break;
            }
        }
        if (!match) continue;
        PhysicalDevice physical;
        physical.devInst = device.devInst;
        physical.luid = match->luid;
        physical.adminStatus = match->adminStatus;
        ULONG status = 0, problem = 0;
        if (adapter::nodeStatus(device.devInst, status, problem) != 0) continue;
        physical.nodeStatus = status;
        physical.problem = problem;
        if (adapter::deviceId(device.devInst, physical.instanceId) != 0) continue;
        result.push_back(physical);
    }
    std::erase_if(result, [](const PhysicalDevice& d) {
        return d.adminStatus != 1 || (d.nodeStatus & NodeStarted) == 0 || d.problem != 0;
    });
    return result;
}

bool pauseAdapters() {
    const std::vector<PhysicalDevice> devices = physicalDevices();
    if (devices.empty()) return false;
    bool paused = false;
    try {
        paused = pauseEach(devices);
    } catch (...) {
        paused = false;
    }
    if (!paused) {
        restore();
        return false;
    }
    logEvent(L"Physical Ethernet/Wi-Fi adapters paused.");
    return true;
}

// Every entry was written by this service before it disabled that device, whatever mode was in force then
// or is now (a NetworkMode policy may change during a pause, or before the restart after a crash): each is
// replayed. Only a device that is disabled is enabled.
bool replayJournal(const std::vector<std::wstring>& entries) {
    bool allReleased = true;
    for (const std::wstring& id : entries) {
        DWORD devInst = 0;
        const DWORD located = adapter::locateNode(id, devInst);
        if (located == NoSuchDevNode) {
            deleteSavedDevice(id);
            logEvent(L"Adapter recovery entry cleared (already active or absent): " + id);
            continue;
        }
        ULONG status = 0, problem = 0;
        if (located == 0 && adapter::nodeStatus(devInst, status, problem) == 0) {
            const bool started = (status & NodeStarted) != 0;
            if (!started && problem == ProblemDisabled && adapter::enableNode(devInst) == 0) {
                deleteSavedDevice(id);
                logEvent(L"Adapter restored by Calmlane: " + id);
                continue;
            }
            if (started) {
                deleteSavedDevice(id);
                logEvent(L"Adapter recovery entry cleared (already active or absent): " + id);
                continue;
            }
        }
        logEvent(L"Adapter restoration pending: " + id);
        allReleased = false;
    }
    return allReleased;
}

}  // namespace calmlane
