#pragma once
// Terminal-services session state, behind a seam: Wine cannot query it. The product links the Windows
// implementation (platform/terminal_windows.cpp); test builds link a double.
#include <windows.h>

namespace calmlane::terminal {

// The connect state (WTS_CONNECTSTATE_CLASS) of a session; false when it cannot be read in full.
bool sessionConnectState(DWORD sessionId, DWORD& state);

}  // namespace calmlane::terminal
