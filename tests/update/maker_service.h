#pragma once
// The test side of the stand-in for the maker's web services (tests/doubles/maker_service.py, started by
// tests/update/with-maker-service), and waiting for the records the update workers post.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "update/worker.h"

namespace calmlane::test {

// One answer: a body (or a file stored with MakerService::put), padded or cut to `size`, optionally
// paused once after `stallAfter` bytes or dropped after `cutAfter` bytes. Every member has a default, so
// routes can be written with designated initializers.
struct Route {
    std::string method = "GET";
    std::string path{};
    int status = 200;
    std::string body{};
    std::string file{};
    long long size = -1;
    long long stallAfter = -1;
    long long cutAfter = -1;
    std::string location{};  // a Location header, for redirects
};
inline Route get(const std::string& path, const std::string& body = {}, int status = 200) {
    return {.path = path, .status = status, .body = body};
}
inline Route installer(const std::string& version, const std::string& file, long long size) {
    return {.path = "/download/calmlane/" + version, .file = file, .size = size};
}

struct RecordedRequest {
    std::string method, path, userAgent, voter;  // voter: the X-Calmlane-Voter header, empty when absent
};

class MakerService {
public:
    MakerService();  // fails the test when the stand-in is not running
    bool running() const { return !folder_.empty(); }
    // Replaces the routes and forgets the recorded requests. `tls` names another certificate or
    // protocol for the handshakes (see maker_service.py: untrusted, wrong-host, tls1.1).
    void serve(const std::vector<Route>& routes, const std::string& tls = {}) const;
    std::vector<RecordedRequest> requests() const;
    void put(const std::string& name, const std::string& bytes) const;
    std::wstring path(const std::string& name) const;  // a file in the service's folder

private:
    std::wstring folder_;  // as Wine sees it
};

// A message-only window; posted records are taken from its queue.
HWND resultWindow();
LPARAM awaitMessage(UINT message, DWORD timeoutMs);  // 0 after the time-out
template <typename Record>
std::unique_ptr<Record> awaitPosted(UINT message, DWORD timeoutMs) {
    return takePosted<Record>(resultWindow(), message, awaitMessage(message, timeoutMs));
}

std::string readWholeFile(const std::wstring& path);
// A built test installer, and the same image marked as x86 (machine 0x014C).
std::string builtInstaller(const wchar_t* name);
std::string as32Bit(std::string image);

}  // namespace calmlane::test
