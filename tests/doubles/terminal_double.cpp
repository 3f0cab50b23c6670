// Terminal-services double: every session reports the configured connect state.
#include "doubles/double_store.h"
#include "service/terminal_seam.h"

namespace calmlane::terminal {

bool sessionConnectState(DWORD sessionId, DWORD& state) {
    doubles::enterCall(L"terminal.sessionConnectState", L"session=" + std::to_wstring(sessionId));
    doubles::leaveCall();
    if (doubles::storeDword(L"SessionQueryFails", 0) != 0) return false;
    state = doubles::storeDword(L"SessionState", 0);
    return true;
}

}  // namespace calmlane::terminal
