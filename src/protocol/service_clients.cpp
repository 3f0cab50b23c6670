#include "protocol/service_clients.h"

#include <windows.h>

#include "app/console.h"
#include "app/constants.h"
#include "app/error_text.h"
#include "app/handles.h"
#include "app/localization.h"
#include "app/settings.h"
#include "protocol/pipe_protocol.h"

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
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(manager ? OpenServiceW(manager.get(), ServiceName, SERVICE_USER_DEFINED_CONTROL)
                                        : nullptr);
    SERVICE_STATUS status = {};
    if (service && ControlService(service.get(), RestoreControl, &status)) return 0;
    std::wstring reason = errorText(GetLastError());
    std::erase(reason, L'\r');  // the system's text may end its sentence with a line break
    std::erase(reason, L'\n');
    // Never a box: the window that starts this elevated shows its own outcome, a script reads the code.
    writeToCaller(tr(L"Le service Calmlane n’a pas pris la demande\u00A0: ",
                     L"The Calmlane service did not take the request: ",
                     L"Der Calmlane-Dienst hat die Anforderung nicht angenommen: ", L"Calmlane 服务未接受该请求：",
                     L"El servicio Calmlane no ha aceptado la solicitud: ",
                     L"Il servizio Calmlane non ha accettato la richiesta: ") +
                      reason + L"\n",
                  true);
    return 1;
}

UniqueHandle openControlPipe(unsigned long waitMs) {
    std::wstring path;
    if (!readString(HKEY_LOCAL_MACHINE, RegistryPath, ControlPipeValue, path) || !pipe::isName(path)) return {};
    const ULONGLONG deadline = GetTickCount64() + waitMs;
    for (;;) {
        UniqueHandle pipe(CreateFileW(path.c_str(), pipe::ClientAccess, 0, nullptr, OPEN_EXISTING,
                                      SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
        if (pipe || GetLastError() != ERROR_PIPE_BUSY) return pipe;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return {};
        // Returns once the service listens again; another client may still be first.
        if (!WaitNamedPipeW(path.c_str(), static_cast<DWORD>(deadline - now)) && GetLastError() != ERROR_SEM_TIMEOUT) {
            return {};
        }
    }
}

}  // namespace calmlane
