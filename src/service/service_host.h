#pragma once
// The Windows service: service main, control handler and the pause-session loop.
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "app/display_state.h"

namespace calmlane {

inline constexpr std::uint32_t NoSession = 0xFFFFFFFF;

// What the control handler records for the loop. The reason is written before the flag.
struct ServiceSignals {
    std::atomic<std::uint32_t> consoleDisplayState{0xFFFFFFFF};
    std::atomic<bool> restoreRequested{false};
    std::atomic<std::uint32_t> recoveryReason{0};
    // Written by the loop: the session of the client that holds the pause, or of the last admitted one
    // while its block is held; NoSession otherwise. Session changes count only for that session.
    std::atomic<std::uint32_t> clientSession{NoSession};
};

// What the handler decided for one control: nothing more to do, or stop.
enum class ControlOutcome { Recorded, Stop };
ControlOutcome recordControl(ServiceSignals& signals, DWORD control, DWORD eventType, const void* eventData);

void runService();

}  // namespace calmlane
