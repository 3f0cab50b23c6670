#pragma once
// The Windows service: service main, control handler and the pause-session loop.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "app/display_state.h"

namespace calmlane {

// What the control handler records for the loop. The reason is written before the flag.
struct ServiceSignals {
    std::atomic<std::uint32_t> consoleDisplayState{0xFFFFFFFF};
    std::atomic<bool> restoreRequested{false};
    std::atomic<std::uint32_t> recoveryReason{0};
};

// What the handler decided for one control: nothing more to do, or stop.
enum class ControlOutcome { Recorded, Stop };
ControlOutcome recordControl(ServiceSignals& signals, DWORD control, DWORD eventType, const void* eventData);

void runService();

}  // namespace calmlane
