// Terminal-services session state behind the terminal seam.
#include <windows.h>
#include <wtsapi32.h>

#include "service/terminal_seam.h"

namespace calmlane::terminal {

bool sessionConnectState(DWORD sessionId, DWORD& state) {
    wchar_t* buffer = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSConnectState, &buffer, &bytes)) {
        return false;
    }
    const bool complete = buffer != nullptr && bytes >= sizeof(DWORD);
    if (complete) state = *reinterpret_cast<const DWORD*>(buffer);
    WTSFreeMemory(buffer);
    return complete;
}

}  // namespace calmlane::terminal
