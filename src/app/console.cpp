#include "app/console.h"

#include <windows.h>

#include "app/handles.h"

namespace calmlane {

bool interactiveDesktop() {
    // Session 0 has nobody at it since Windows Vista, though its WinSta0 is still marked visible (a task
    // run as SYSTEM, a service allowed to use the desktop).
    DWORD session = 0;
    if (ProcessIdToSessionId(GetCurrentProcessId(), &session) == FALSE || session == 0) return false;
    USEROBJECTFLAGS flags = {};
    DWORD needed = 0;
    const HWINSTA station = GetProcessWindowStation();
    // Unknown counts as no one there: a quiet run loses only its box.
    return station != nullptr &&
           GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed) != FALSE &&
           (flags.dwFlags & WSF_VISIBLE) != 0;
}

void writeToCaller(const std::wstring& text, bool error) {
    std::wstring lines;
    for (const wchar_t c : text) {
        if (c == L'\n') lines += L'\r';
        lines += c;
    }
    // A GUI program has a standard handle only when its caller redirected it (cmd's ">", a pipe of a
    // deployment tool): a file or a pipe takes UTF-8.
    const HANDLE redirected = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    const DWORD type = redirected != nullptr && redirected != INVALID_HANDLE_VALUE ? GetFileType(redirected)
                                                                                   : FILE_TYPE_UNKNOWN;
    DWORD written = 0;
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
        const std::string utf8 = toUtf8(lines);
        // Nothing more can be told when the caller's output cannot be written: the exit code still tells.
        WriteFile(redirected, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
        return;
    }
    // The console of the command prompt that started us, in Unicode whatever its code page. Already
    // attached (a second call) is fine.
    if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED) return;
    const UniqueHandle console(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr));
    if (console) WriteConsoleW(console.get(), lines.data(), static_cast<DWORD>(lines.size()), &written, nullptr);
}

void reportToCaller(const char* message) { writeToCaller(widened(message) + L"\n", true); }

std::wstring widened(const char* message) {
    std::wstring text;
    for (const char* c = message; *c != '\0'; ++c) text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    return text;
}

std::string toUtf8(const std::wstring& text) {
    const int size = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    const bool converted =
        bytes > 0 && WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), bytes, nullptr, nullptr) == bytes;
    return converted ? utf8 : std::string();
}

}  // namespace calmlane
