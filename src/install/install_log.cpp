#include "install/install_log.h"

#include <windows.h>

#include <cwchar>

#include "app/console.h"
#include "app/constants.h"
#include "app/handles.h"
#include "install/install_steps.h"

namespace calmlane {

namespace {

UniqueHandle logFile;
// The step under way: its outcome is written when the next begins or the run fails or ends.
std::wstring current = L"preparation";

void write(const std::wstring& text) {
    if (!logFile) return;
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t stamp[32] = {};
    swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u.%03u  ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond, now.wMilliseconds);
    const std::string line = toUtf8(stamp + text + L"\r\n");
    DWORD written = 0;
    // A line that cannot be written is lost; the run itself goes on, and its exit code still tells.
    WriteFile(logFile.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

namespace install_log {

bool openFromArguments(std::vector<std::wstring>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        if (args[i] != L"--log") continue;
        if (i + 1 == args.size()) return false;
        // Append only: a second run writing to the same file (one refused with 1618) adds whole lines.
        logFile.reset(CreateFileW(args[i + 1].c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i), args.begin() + static_cast<std::ptrdiff_t>(i + 2));
        if (!logFile) return false;
        write(std::wstring(Product) + L" " + Version + L": " + GetCommandLineW());
        return true;
    }
    return true;
}

void begin(const wchar_t* step) {
    if (!current.empty()) write(current + L": done");
    current = step;
}

void fail(const char* reason) {
    write((current.empty() ? std::wstring(L"failed: ") : current + L": failed: ") + widened(reason));
    current.clear();
}

void end(int exitCode) {
    if (!current.empty()) write(current + L": done");
    current.clear();
    write(L"exit code " + std::to_wstring(exitCode));
}

}  // namespace install_log

namespace install_step {

void reached(const wchar_t* step) {
    install_log::begin(step);
    seam(step);
}

}  // namespace install_step

}  // namespace calmlane
