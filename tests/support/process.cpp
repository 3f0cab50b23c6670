#include "support/process.h"

#include "app/handles.h"

namespace calmlane::test {

namespace {

struct Search {
    DWORD processId;
    std::vector<HWND> found;
};

BOOL CALLBACK collectDialogs(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[32] = {};
    if (owner == search->processId && IsWindowVisible(window) && GetClassNameW(window, className, 32) &&
        std::wstring(className) == L"#32770") {
        search->found.push_back(window);
    }
    return TRUE;
}

std::wstring windowText(HWND window) {
    wchar_t buffer[4096] = {};
    GetWindowTextW(window, buffer, 4096);
    return buffer;
}

}  // namespace

std::wstring binFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

ChildResult runChild(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
    ChildResult result;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        return result;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    std::vector<HWND> handled;
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (WaitForSingleObject(process.get(), 50) == WAIT_TIMEOUT) {
        if (GetTickCount64() > deadline) {
            TerminateProcess(process.get(), 259);
            WaitForSingleObject(process.get(), 5000);
            return result;
        }
        Search search{info.dwProcessId, {}};
        EnumWindows(collectDialogs, reinterpret_cast<LPARAM>(&search));
        for (HWND dialog : search.found) {
            bool seen = false;
            for (HWND h : handled) seen = seen || h == dialog;
            if (seen) continue;
            handled.push_back(dialog);
            HWND label = GetDlgItem(dialog, 0xFFFF);  // the message text of a message box
            result.boxes.push_back({windowText(dialog), label ? windowText(label) : std::wstring()});
            PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        }
    }
    result.finished = true;
    GetExitCodeProcess(process.get(), &result.exitCode);
    return result;
}

}  // namespace calmlane::test
