#pragma once
// The test side of the stand-in for the maker's web services (tests/doubles/maker_service.py), which
// tests/update/with-maker-service starts; and waiting for the results that the update workers post.
#include <windows.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace calmlane::test {

// One answer of the stand-in: Route("/path").status(500).body("...") and so on.
struct Route {
    explicit Route(std::string routePath, std::string routeMethod = "GET")
        : method(std::move(routeMethod)), path(std::move(routePath)) {}
    Route& status(int code) { statusCode = code; return *this; }
    Route& body(std::string bytes) { bodyBytes = std::move(bytes); return *this; }
    // A file stored with MakerService::put, served instead of the body.
    Route& file(std::string name) { fileName = std::move(name); return *this; }
    // Pads with zero bytes, or cuts, the body to this size.
    Route& size(long long bytes) { bodySize = bytes; return *this; }
    Route& stall(long long afterBytes, double seconds) { stallAfter = afterBytes; stallSeconds = seconds; return *this; }
    // Drops the connection after this many body bytes.
    Route& cut(long long afterBytes) { cutAfter = afterBytes; return *this; }

    std::string method;
    std::string path;
    int statusCode = 200;
    std::string bodyBytes;
    std::string fileName;
    long long bodySize = -1;
    long long stallAfter = -1;
    double stallSeconds = 0;
    long long cutAfter = -1;
};

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string userAgent;
    std::string voter;  // the X-Calmlane-Voter header, empty when absent
};

class MakerService {
public:
    // Fails the test when the stand-in is not running (CALMLANE_MAKER_SERVICE unset).
    MakerService();
    // Replaces the routes and forgets the recorded requests.
    void serve(const std::vector<Route>& routes) const;
    std::vector<RecordedRequest> requests() const;
    // Stores `bytes` as a file that routes can serve.
    void put(const std::string& name, const std::string& bytes) const;
    bool running() const { return !folder_.empty(); }

private:
    std::wstring folder_;  // the service's folder, as Wine sees it
};

// A message-only window that collects the records the update workers post to it.
class ResultWindow {
public:
    ResultWindow();
    ~ResultWindow();
    ResultWindow(const ResultWindow&) = delete;
    ResultWindow& operator=(const ResultWindow&) = delete;
    HWND handle() const { return window_; }

    // The record posted as `message`, owned by the caller; null after `timeoutMs`.
    template <typename Record>
    std::unique_ptr<Record> await(UINT message, DWORD timeoutMs) {
        return std::unique_ptr<Record>(reinterpret_cast<Record*>(awaitRaw(message, timeoutMs)));
    }

private:
    LPARAM awaitRaw(UINT message, DWORD timeoutMs);
    HWND window_ = nullptr;
};

// Open kernel handles and threads of this process, counted directly: Wine's GetProcessHandleCount
// reports 0.
struct ProcessResources {
    std::size_t handles = 0;
    std::size_t threads = 0;
};
ProcessResources processResources();

// A built test installer (tests/update/installer) read into memory.
std::string readBuiltFile(const std::wstring& name);
// The same image with its machine field set to 0x014C (x86).
std::string as32Bit(std::string image);
std::string readWholeFile(const std::wstring& path);

}  // namespace calmlane::test
