// Stands in for the product's service where the installer's start-up checks need a misbehaving one.
// Installed as Calmlane.exe and started as "--service"; HKLM SOFTWARE\CalmlaneTest "StandinMode" picks:
//   1  stays start-pending until it is stopped;   2  stops during its start.
#include <windows.h>

#include "doubles/double_store.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

void report(DWORD state, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = SERVICE_ACCEPT_STOP;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = 60000;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    if (code == SERVICE_CONTROL_STOP) SetEvent(stopEvent);
    return NO_ERROR;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(L"CalmlaneNative", control, nullptr);
    if (!statusHandle) return;
    report(SERVICE_START_PENDING);
    if (calmlane::doubles::storeDword(L"StandinMode", 1) == 2) {
        Sleep(500);
        report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR);
        return;
    }
    WaitForSingleObject(stopEvent, INFINITE);
    report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"CalmlaneNative";
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
