#pragma once
// The simulated adapters of the adapter double, as tests configure and inspect them.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace calmlane::doubles {

struct SimulatedAdapter {
    DWORD devInst = 0;            // assigned: index + 1
    std::wstring id;              // device instance id; empty for an interface without a device
    std::wstring interfaceGuid;   // braced; empty for a device without an interface
    std::uint64_t luid = 0;
    DWORD type = 6;               // 6 Ethernet, 71 Wi-Fi, others virtual
    bool hardware = true;
    DWORD adminStatus = 1;
    DWORD nodeStatus = 0x180A;    // includes DN_STARTED (0x8)
    DWORD problem = 0;
    bool noDriverKey = false;
    bool absent = false;          // removed from the machine
};

// Replaces every simulated adapter (devInst is assigned in order).
void setAdapters(const std::vector<SimulatedAdapter>& adapters);
std::vector<SimulatedAdapter> loadAdapters();
bool loadAdapter(DWORD devInst, SimulatedAdapter& adapter);
void saveAdapter(const SimulatedAdapter& adapter);

// A physical Ethernet (6) or Wi-Fi (71) adapter that is up and started.
SimulatedAdapter physicalAdapter(int number, DWORD type = 6);
// A physical Ethernet adapter that is not started: disabled (problem 22) or with another problem.
SimulatedAdapter stoppedAdapter(int number, DWORD problem = 22);

}  // namespace calmlane::doubles
