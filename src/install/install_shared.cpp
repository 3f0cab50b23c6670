// The small functions that the installer, the uninstaller, the mode change and the main window share.
#include <windows.h>
#include <shellapi.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "app/constants.h"
#include "app/error_text.h"
#include "app/handles.h"
#include "app/settings.h"
#include "install/installer.h"

namespace calmlane {

namespace {

struct WindowSearch {
    std::vector<std::wstring> images;
    DWORD self = 0;
    std::vector<UniqueHandle> kept;  // one per closed window; all closed whatever happens
};

std::wstring processImage(HANDLE process) {
    std::vector<wchar_t> buffer(32768);
    DWORD length = static_cast<DWORD>(buffer.size());
    if (!QueryFullProcessImageNameW(process, 0, buffer.data(), &length)) return std::wstring();
    return std::wstring(buffer.data(), length);
}

BOOL CALLBACK closeIfInstalled(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<WindowSearch*>(context);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == 0 || processId == search->self) return TRUE;
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
    if (!process) return TRUE;
    const std::wstring image = processImage(process.get());
    for (const std::wstring& installed : search->images) {
        if (!image.empty() && sameText(image, installed)) {
            PostMessageW(window, WM_CLOSE, 0, 0);
            search->kept.push_back(std::move(process));
            break;
        }
    }
    return TRUE;
}

SERVICE_STATUS_PROCESS queryStatus(SC_HANDLE service, bool& ok) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed) != FALSE;
    return status;
}

}  // namespace

void showInstallError(const char* message) { MessageBoxA(nullptr, message, "Calmlane Native", MB_OK | MB_ICONERROR); }
void showModeError(const char* message) { MessageBoxA(nullptr, message, "Calmlane", MB_OK | MB_ICONERROR); }
void reportNothing(const char*) {}

bool sameText(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

void requireAdministrator() {
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD size = sizeof(sid);
    BOOL member = FALSE;
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) ||
        !CheckTokenMembership(nullptr, sid, &member) || !member) {
        throw std::runtime_error("Administrator rights required.");
    }
}

bool serviceInstalled() {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

void stopService(SC_HANDLE service) {
    bool ok = false;
    const SERVICE_STATUS_PROCESS initial = queryStatus(service, ok);
    UniqueHandle process;
    if (ok && initial.dwProcessId != 0) process.reset(OpenProcess(SYNCHRONIZE, FALSE, initial.dwProcessId));
    SERVICE_STATUS ignored = {};
    ControlService(service, SERVICE_CONTROL_STOP, &ignored);
    // The service may hold the stop while it gives adapters back.
    const ULONGLONG deadline = GetTickCount64() + 30000;
    for (;;) {
        const SERVICE_STATUS_PROCESS status = queryStatus(service, ok);
        if (!ok || status.dwCurrentState == SERVICE_STOPPED) break;
        if (GetTickCount64() >= deadline) throw std::runtime_error("Service did not stop. Network recovery must finish first.");
        Sleep(100);
    }
    if (process && WaitForSingleObject(process.get(), 5000) != WAIT_OBJECT_0) {
        throw std::runtime_error("Service process is still exiting.");
    }
}

void closeInstalledWindows(const std::wstring& previousFolder) {
    WindowSearch search;
    search.self = GetCurrentProcessId();
    const std::wstring current = installDir();
    search.images = {current + L"\\Calmlane.exe", current + L"\\Calmlane.scr"};
    if (!previousFolder.empty() && !sameText(previousFolder, current)) {
        search.images.push_back(previousFolder + L"\\Calmlane.exe");
        search.images.push_back(previousFolder + L"\\Calmlane.scr");
    }
    EnumWindows(closeIfInstalled, reinterpret_cast<LPARAM>(&search));
    bool allEnded = true;
    for (UniqueHandle& process : search.kept) {
        if (WaitForSingleObject(process.get(), 8000) != WAIT_OBJECT_0) allEnded = false;
        process.reset();
    }
    if (!allEnded) throw std::runtime_error("Close Calmlane and screen saver settings in all sessions, then retry.");
}

bool copyWithRetry(const std::wstring& from, const std::wstring& to) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (CopyFileW(from.c_str(), to.c_str(), FALSE)) return true;
        const DWORD error = GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) return false;
        Sleep(100);
        if (GetTickCount64() - start >= 5000) return false;
    }
}

bool moveAsideUntilRestart(const std::wstring& path) {
    const std::wstring aside =
        path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64()) + L".delete";
    if (!MoveFileExW(path.c_str(), aside.c_str(), 0)) return false;
    // The name is free either way; a file whose deletion cannot be scheduled stays as an old copy that
    // isProductFileName still recognises, and the uninstaller removes it once it is free.
    MoveFileExW(aside.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    return true;
}

bool deleteOrScheduleAtRestart(const std::wstring& path, bool directory) {
    const bool removed = directory ? RemoveDirectoryW(path.c_str()) != FALSE : DeleteFileW(path.c_str()) != FALSE;
    return !removed && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES &&
           MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool isProductFileName(const std::wstring& name) {
    constexpr std::size_t SuffixLength = 7;  // ".delete"
    for (const wchar_t* file : InstalledFiles) {
        const std::wstring prefix = std::wstring(file) + L".";
        if (sameText(name, file)) return true;
        if (name.size() > prefix.size() + SuffixLength && sameText(name.substr(0, prefix.size()), prefix) &&
            sameText(name.substr(name.size() - SuffixLength), L".delete")) {
            return true;
        }
    }
    return false;
}

bool elevateAndWait(HWND owner, const std::wstring& arguments) {
    const std::wstring program = modulePath();
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof(execute);
    execute.fMask = SEE_MASK_NOCLOSEPROCESS;
    execute.hwnd = owner;
    execute.lpVerb = L"runas";
    execute.lpFile = program.c_str();
    execute.lpParameters = arguments.c_str();
    execute.nShow = SW_HIDE;
    if (!ShellExecuteExW(&execute)) {
        MessageBoxW(owner, errorText(GetLastError()).c_str(), Product, MB_OK | MB_ICONERROR);
        return false;
    }
    UniqueHandle process(execute.hProcess);
    if (!process) return false;  // nothing to wait for, so no result to trust
    if (owner) EnableWindow(owner, FALSE);
    // A WM_QUIT taken from the queue here belongs to the caller's loop: it is posted again afterwards.
    bool quit = false;
    WPARAM quitCode = 0;
    const HANDLE handles[] = {process.get()};
    for (;;) {
        const DWORD woken = MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT);
        if (woken != WAIT_OBJECT_0 + 1) break;  // the process ended (or the wait itself failed)
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                quit = true;
                quitCode = message.wParam;
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    DWORD exitCode = 1;
    if (!GetExitCodeProcess(process.get(), &exitCode)) exitCode = 1;
    process.reset();
    if (owner) {
        EnableWindow(owner, TRUE);
        SetForegroundWindow(owner);
    }
    if (quit) PostQuitMessage(static_cast<int>(quitCode));
    return exitCode == 0;
}

}  // namespace calmlane
