#include "update/maker_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <cstring>
#include <fstream>
#include <sstream>

#include "support/process.h"

namespace calmlane::test {

MakerService::MakerService() {
    const char* folder = std::getenv("CALMLANE_MAKER_SERVICE");
    if (!folder || !*folder) {
        ADD_FAILURE() << "the maker's services stand-in is not running: run through tests/update/with-maker-service";
        return;
    }
    folder_ = L"Z:";  // Wine's drive for the Unix root
    for (const char* c = folder; *c; ++c) folder_.push_back(*c == '/' ? L'\\' : static_cast<wchar_t>(*c));
}

void MakerService::serve(const std::vector<Route>& routes, const std::string& tls) const {
    std::ostringstream scenario;
    if (!tls.empty()) scenario << "TLS " << tls << '\n';
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const Route& route = routes[i];
        std::string file = route.file;
        if (file.empty()) put(file = "body-" + std::to_string(i), route.body);
        scenario << route.method << ' ' << route.path << " status=" << route.status << " file=" << file;
        if (route.size >= 0) scenario << " size=" << route.size;
        if (route.stallAfter >= 0) scenario << " stall_after=" << route.stallAfter << " stall=3";
        if (route.cutAfter >= 0) scenario << " cut=" << route.cutAfter;
        if (!route.location.empty()) scenario << " location=" << route.location;
        scenario << '\n';
    }
    // Moved into place whole: the stand-in never reads half a scenario.
    put("scenario.new", scenario.str());
    ASSERT_TRUE(MoveFileExW(path("scenario.new").c_str(), path("scenario").c_str(), MOVEFILE_REPLACE_EXISTING));
    DeleteFileW(path("requests").c_str());
}

std::vector<RecordedRequest> MakerService::requests() const {
    std::vector<RecordedRequest> found;
    std::istringstream lines(readWholeFile(path("requests")));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        RecordedRequest request;
        for (std::string* field : {&request.method, &request.path, &request.userAgent, &request.voter}) {
            std::getline(fields, *field, '\t');
        }
        found.push_back(request);
    }
    return found;
}

void MakerService::put(const std::string& name, const std::string& bytes) const {
    std::ofstream(std::filesystem::path(path(name)), std::ios::binary | std::ios::trunc) << bytes;
}

std::wstring MakerService::path(const std::string& name) const {
    return folder_ + L"\\" + std::wstring(name.begin(), name.end());
}

HWND resultWindow() {
    static const HWND window =
        CreateWindowExW(0, L"STATIC", nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    return window;
}

LPARAM awaitMessage(UINT message, DWORD timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (MSG msg;;) {
        if (PeekMessageW(&msg, resultWindow(), message, message, PM_REMOVE)) return msg.lParam;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) return 0;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(deadline - now), QS_POSTMESSAGE);
    }
}

std::string readWholeFile(const std::wstring& path) {
    std::ifstream file(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string builtInstaller(const wchar_t* name) {
    std::string image = readWholeFile(binFolder() + L"\\" + name + L".exe");
    EXPECT_GT(image.size(), 64u) << "missing test installer";
    return image;
}

std::string as32Bit(std::string image) {
    std::uint32_t header = 0;
    if (image.size() >= 64) std::memcpy(&header, &image[60], 4);
    if (header + 6 <= image.size()) image.replace(header + 4, 2, "\x4C\x01", 2);
    return image;
}

}  // namespace calmlane::test
