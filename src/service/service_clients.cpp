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

}  // namespace

bool serviceRunning() {
    UniqueServiceHandle service = openService(SERVICE_QUERY_STATUS);
    if (!service) return false;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed)) {
        return false;
    }
    return status.dwCurrentState == SERVICE_RUNNING;
}

int requestNetworkRestore() {
    UniqueServiceHandle service = openService(SERVICE_USER_DEFINED_CONTROL);
    if (!service) return 1;
    SERVICE_STATUS status = {};
    return ControlService(service.get(), RestoreControl, &status) ? 0 : 1;
}

}  // namespace calmlane
