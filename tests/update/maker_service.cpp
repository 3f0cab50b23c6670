#include "update/maker_service.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <tlhelp32.h>

#include "app/handles.h"
#include "support/process.h"

namespace calmlane::test {

namespace {

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char c : bytes) {
        text.push_back(digits[c >> 4]);
        text.push_back(digits[c & 15]);
    }
    return text;
}

std::wstring fromUnix(const char* path) {
    std::wstring text = L"Z:";
    for (const char* c = path; *c; ++c) text.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
    return text;
}

void writeWholeFile(const std::wstring& path, const std::string& bytes) {
    std::ofstream(std::filesystem::path(path), std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace

MakerService::MakerService() {
    const char* folder = std::getenv("CALMLANE_MAKER_SERVICE");
    if (folder && *folder) {
        folder_ = fromUnix(folder);
    } else {
        ADD_FAILURE() << "the maker's services stand-in is not running: run through tests/update/with-maker-service";
    }
}

void MakerService::serve(const std::vector<Route>& routes) const {
    std::ostringstream scenario;
    for (const Route& route : routes) {
        scenario << route.method << ' ' << route.path << " status=" << route.statusCode << " body=" << hex(route.bodyBytes);
        if (!route.fileName.empty()) scenario << " file=" << route.fileName;
        if (route.bodySize >= 0) scenario << " size=" << route.bodySize;
        if (route.stallAfter >= 0) scenario << " stall_after=" << route.stallAfter << " stall=" << route.stallSeconds;
        if (route.cutAfter >= 0) scenario << " cut=" << route.cutAfter;
        scenario << '\n';
    }
    // Written beside and moved into place: the service never reads half a scenario.
    writeWholeFile(folder_ + L"\\scenario.new", scenario.str());
    ASSERT_TRUE(MoveFileExW((folder_ + L"\\scenario.new").c_str(), (folder_ + L"\\scenario").c_str(),
                            MOVEFILE_REPLACE_EXISTING));
    DeleteFileW((folder_ + L"\\requests").c_str());
}

std::vector<RecordedRequest> MakerService::requests() const {
    std::vector<RecordedRequest> found;
    std::istringstream lines(readWholeFile(folder_ + L"\\requests"));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> fields;
        std::size_t start = 0;
        for (std::size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1) {
            fields.push_back(line.substr(start, tab - start));
        }
        fields.push_back(line.substr(start));
        fields.resize(4);
        found.push_back({fields[0], fields[1], fields[2], fields[3]});
    }
    return found;
}

void MakerService::put(const std::string& name, const std::string& bytes) const {
    writeWholeFile(folder_ + L"\\" + std::wstring(name.begin(), name.end()), bytes);
}

ResultWindow::ResultWindow() {
    window_ = CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_NE(window_, nullptr);
}

ResultWindow::~ResultWindow() {
    if (window_) DestroyWindow(window_);
}

LPARAM ResultWindow::awaitRaw(UINT message, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        MSG msg;
        if (PeekMessageW(&msg, window_, message, message, PM_REMOVE)) return msg.lParam;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return 0;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_POSTMESSAGE);
    }
}

ProcessResources processResources() {
    ProcessResources counted;
    // Handle values are multiples of 4, handed out lowest first; 64 Ki slots is far beyond any test.
    for (std::uintptr_t value = 4; value < 0x40000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++counted.handles;
    }
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = snapshot && Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++counted.threads;
    }
    return counted;
}

std::string readWholeFile(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string readBuiltFile(const std::wstring& name) {
    std::string bytes = readWholeFile(binFolder() + L"\\" + name);
    EXPECT_GT(bytes.size(), 64u) << "missing test installer";
    return bytes;
}

std::string as32Bit(std::string image) {
    const std::uint32_t header = static_cast<unsigned char>(image[60]) | static_cast<unsigned char>(image[61]) << 8 |
                                 static_cast<unsigned char>(image[62]) << 16 |
                                 static_cast<std::uint32_t>(static_cast<unsigned char>(image[63])) << 24;
    if (header + 6 > image.size()) return image;
    image[header + 4] = '\x4C';
    image[header + 5] = '\x01';
    return image;
}

}  // namespace calmlane::test
