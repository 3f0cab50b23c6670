#pragma once
// The console display state power setting, followed by the service (its hold) and the saver (its frames).
#include <windows.h>

namespace calmlane {

// GUID_CONSOLE_DISPLAY_STATE (winnt.h); its data is a DWORD: 0 off, 1 on, 2 dimmed.
inline constexpr GUID ConsoleDisplayState = {0x6FE69556, 0x704A, 0x47A0, {0x8F, 0x24, 0xC2, 0x8D, 0x93, 0x6F, 0xDA, 0x47}};

}  // namespace calmlane
