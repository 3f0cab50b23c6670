#include "support/process.h"

#include <tlhelp32.h>

#include "app/handles.h"
#include "app/settings.h"

namespace calmlane::test {

namespace {

// The top-level windows of process `processId` (0: any process), of class `className` (nullptr: any).
std::vector<HWND> topLevelWindows(DWORD processId, const wchar_t* className) {
    std::vector<HWND> found;
    for (HWND w = FindWindowExW(nullptr, nullptr, className, nullptr); w; w = FindWindowExW(nullptr, w, className, nullptr)) {
        DWORD owner = 0;
        GetWindowThreadProcessId(w, &owner);
        if (processId == 0 || owner == processId) found.push_back(w);
    }
    return found;
}

MessageBoxSeen readBox(HWND dialog) {
    HWND label = GetDlgItem(dialog, 0xFFFF);  // the message text of a message box
    return {windowText(dialog), label ? windowText(label) : std::wstring()};
}

}  // namespace

BoxWatcher::BoxWatcher(int answer, DWORD processId)
    : answer_(answer), processId_(processId), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    InitializeCriticalSection(&lock_);
    thread_.reset(CreateThread(nullptr, 0, watch, this, 0, nullptr));
}

BoxWatcher::~BoxWatcher() {
    SetEvent(stop_.get());
    if (thread_) WaitForSingleObject(thread_.get(), INFINITE);
    DeleteCriticalSection(&lock_);
}

std::vector<MessageBoxSeen> BoxWatcher::boxes() const {
    EnterCriticalSection(&lock_);
    std::vector<MessageBoxSeen> copy = boxes_;
    LeaveCriticalSection(&lock_);
    return copy;
}

DWORD WINAPI BoxWatcher::watch(void* self) {
    auto* watcher = static_cast<BoxWatcher*>(self);
    std::vector<HWND> handled;
    while (WaitForSingleObject(watcher->stop_.get(), 30) == WAIT_TIMEOUT) {
        for (HWND dialog : topLevelWindows(watcher->processId_, L"#32770")) {
            bool seen = !IsWindowVisible(dialog);
            for (HWND h : handled) seen = seen || h == dialog;
            if (seen) continue;
            handled.push_back(dialog);
            const MessageBoxSeen box = readBox(dialog);
            EnterCriticalSection(&watcher->lock_);
            watcher->boxes_.push_back(box);
            LeaveCriticalSection(&watcher->lock_);
            PostMessageW(dialog, WM_COMMAND, static_cast<WPARAM>(watcher->answer_), 0);
        }
    }
    return 0;
}

ProcessResources processResources() {
    ProcessResources counted;
    // Handle values are multiples of 4, handed out lowest first; 64 Ki slots is far beyond any test.
    for (std::uintptr_t value = 4; value < 0x40000; value += 4) {
        DWORD flags = 0;
        counted.handles += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) != 0;
    }
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        counted.threads += entry.th32OwnerProcessID == GetCurrentProcessId();
    }
    return counted;
}

namespace {

// Runs /bin/<program> with `option` and the Unix names of `paths`, and waits until `done` holds: Wine
// hands back no process for a Unix program.
template <typename Done>
bool runUnix(const wchar_t* program, const wchar_t* option, std::initializer_list<std::wstring> paths, Done done) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    std::wstring arguments = option;
    for (const std::wstring& path : paths) {
        char* name = unixName != nullptr ? unixName(path.c_str()) : nullptr;
        if (name == nullptr) return false;
        arguments += L" \"" + std::wstring(name, name + strlen(name)) + L"\"";
        HeapFree(GetProcessHeap(), 0, name);
    }
    startChild(std::wstring(L"Z:\\bin\\") + program, arguments);  // a failed start never gets `done`
    return waitUntil(done, 10000);
}

}  // namespace

bool makeUnixLink(const std::wstring& target, const std::wstring& link) {
    return runUnix(L"ln", L"-s", {target, link},
                   [&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

bool removeUnixLink(const std::wstring& link) {
    return runUnix(L"rm", L"-f", {link}, [&] { return GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES; });
}

std::wstring binFolder() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L"\\/"));
}

StartedChild startChild(const std::wstring& program, const std::wstring& arguments, HANDLE output,
                        const wchar_t* desktop) {
    StartedChild child;
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    std::wstring desktopName = desktop ? desktop : L"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.lpDesktop = desktop ? desktopName.data() : nullptr;
    startup.dwFlags = output ? STARTF_USESTDHANDLES : 0;
    startup.hStdOutput = startup.hStdError = output;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, output != nullptr, 0, nullptr, nullptr,
                       &startup, &info)) {
        CloseHandle(info.hThread);
        child.process.reset(info.hProcess);
        child.id = info.dwProcessId;
    }
    return child;
}

ChildResult runChild(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs,
                     const ChildOptions& options) {
    ChildResult result;
    wchar_t folder[MAX_PATH] = {}, name[MAX_PATH] = {};
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    UniqueHandle output;
    if (options.captureOutput && GetTempPathW(MAX_PATH, folder) && GetTempFileNameW(folder, L"out", 0, name)) {
        output.reset(CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                 CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    }
    const StartedChild child = startChild(program, arguments, output.get(), options.desktop);
    if (!child.process) return result;
    const HANDLE process = child.process.get();
    const BoxWatcher watcher(IDOK, child.id);
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 259);
        WaitForSingleObject(process, 5000);
        return result;
    }
    result.boxes = watcher.boxes();
    result.finished = true;
    GetExitCodeProcess(process, &result.exitCode);
    char buffer[4096];
    DWORD read = 0;
    SetFilePointer(output.get(), 0, nullptr, FILE_BEGIN);
    while (output && ReadFile(output.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        result.output.append(buffer, read);
    }
    return result;
}

DWORD runToExit(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs) {
    const ChildResult result = runChild(program, arguments, timeoutMs);
    return result.finished ? result.exitCode : STILL_ACTIVE;
}

HWND waitForWindow(DWORD processId, const wchar_t* className, DWORD timeoutMs) {
    std::vector<HWND> found;
    waitUntil([&] { return !(found = topLevelWindows(processId, className)).empty(); }, timeoutMs, 50);
    return found.empty() ? nullptr : found.front();
}

bool BoxWatcher::waitFor(const std::wstring& text, DWORD timeoutMs) const {
    return waitUntil([&] {
        for (const auto& box : boxes()) {
            if (box.text.find(text) != std::wstring::npos) return true;
        }
        return false;
    }, timeoutMs);
}

WindowedChild::WindowedChild(const std::wstring& program, const std::wstring& arguments, const wchar_t* className)
    : child(startChild(program, arguments)), className_(className) {
    if (child.process) window = waitForWindow(child.id, className);
}

WindowedChild::~WindowedChild() {
    if (child.process && WaitForSingleObject(child.process.get(), 0) == WAIT_TIMEOUT) {
        TerminateProcess(child.process.get(), 1);
        WaitForSingleObject(child.process.get(), 5000);
    }
}

std::vector<HWND> WindowedChild::windows() const { return topLevelWindows(child.id, className_); }

DWORD WindowedChild::exitWithin(DWORD timeoutMs) const {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(child.process.get(), timeoutMs) == WAIT_OBJECT_0) GetExitCodeProcess(child.process.get(), &code);
    return code;
}

DWORD WindowedChild::close(DWORD timeoutMs) const {
    PostMessageW(window, WM_CLOSE, 0, 0);
    return exitWithin(timeoutMs);
}

HWND createProbeWindow(const wchar_t* className, WNDPROC procedure, DWORD style, int width, int height) {
    const HINSTANCE module = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = module;
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);  // fails harmlessly when an earlier test registered it
    return CreateWindowExW(0, className, L"", style, 0, 0, width, height, nullptr, nullptr, module, nullptr);
}

}  // namespace calmlane::test
