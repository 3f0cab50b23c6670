#include "service/service_clients.h"

#include <windows.h>

#include "app/constants.h"
#include "app/handles.h"

namespace calmlane {

namespace {

UniqueServiceHandle openService(DWORD access) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return {};
    return UniqueServiceHandle(OpenServiceW(manager.get(), ServiceName, access));
}

bool queryStatus(SERVICE_STATUS_PROCESS& status) {
    UniqueServiceHandle service = openService(SERVICE_QUERY_STATUS);
    if (!service) return false;
    DWORD needed = 0;
    return QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof(status), &needed) != FALSE;
}

}  // namespace

bool serviceRunning() {
    SERVICE_STATUS_PROCESS status = {};
    return queryStatus(status) && status.dwCurrentState == SERVICE_RUNNING;
}

unsigned long serviceProcessId() {
    SERVICE_STATUS_PROCESS status = {};
    if (!queryStatus(status) || status.dwCurrentState == SERVICE_STOPPED) return 0;
    return status.dwProcessId;
}

int requestNetworkRestore() {
    UniqueServiceHandle service = openService(SERVICE_USER_DEFINED_CONTROL);
    if (!service) return 1;
    SERVICE_STATUS status = {};
    return ControlService(service.get(), RestoreControl, &status) ? 0 : 1;
}

}  // namespace calmlane
