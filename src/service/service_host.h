#pragma once
// The Windows service: service main, control handler and the pause-session loop.
#include <windows.h>

#include <atomic>
#include <cstdint>

namespace calmlane {

// Console display power setting (GUID_CONSOLE_DISPLAY_STATE, winnt.h).
inline constexpr GUID ConsoleDisplayState = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};

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
