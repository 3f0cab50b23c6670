#include "update/support.h"

#include <objbase.h>

#include <memory>
#include <string>

#include "app/constants.h"
#include "app/settings.h"
#include "update/formats.h"
#include "update/https.h"
#include "update/web_services.h"
#include "update/worker.h"

namespace calmlane {

namespace {

constexpr const wchar_t* AnonymousLikeId = L"AnonymousLikeId";

std::wstring likedValueName() { return std::wstring(L"LikedVersion-") + Version; }

// The braced form StringFromGUID2 writes: 38 characters, hexadecimal digits and four dashes.
bool isBracedGuid(const std::wstring& text) {
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}') return false;
    for (std::size_t i = 1; i < 37; ++i) {
        const wchar_t c = text[i];
        const bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (i == 9 || i == 14 || i == 19 || i == 24 ? c != L'-' : !hex) return false;
    }
    return true;
}

// The voter identifier, created and stored on first use; empty when it can be neither read nor made.
// Anything else stored under its name (it goes into a request header) is replaced by a new one.
std::wstring voterId() {
    std::wstring id;
    if (readString(HKEY_CURRENT_USER, UserRegistry, AnonymousLikeId, id) && isBracedGuid(id)) return id;
    GUID guid{};
    wchar_t text[40] = {};
    if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 40) == 0) return {};
    try {
        writeString(HKEY_CURRENT_USER, UserRegistry, AnonymousLikeId, text);
    } catch (const std::exception&) {
        return {};  // an identifier that is not kept would count this user again next time
    }
    return text;
}

void vote(LikeResult& result) {
    const std::wstring id = voterId();
    if (id.empty()) return;
    const std::wstring header = support::VoterHeader + id + L"\r\n";
    HttpsExchange exchange;
    if (!exchange.perform(support::EndpointHost, L"POST", support::EndpointPathPrefix + std::wstring(Version),
                          {3000, 3000, 4000, 4000, 30000}, header.c_str()) ||
        exchange.status() != 200) {
        return;
    }
    const std::string body = exchange.smallBody();
    result.ok = !body.empty();
    if (!result.ok) return;
    const VoteReply reply = parseVoteReply(body);
    result.added = reply.added;
    result.likes = reply.likes;
    try {
        writeDword(HKEY_CURRENT_USER, UserRegistry, likedValueName().c_str(), 1);
    } catch (const std::exception&) {
        // The vote counted; the button just stays available.
    }
}

void likeWorker(HWND window, UINT message) noexcept {
    try {
        auto result = std::make_unique<LikeResult>();
        vote(*result);
        postOwned(window, message, std::move(result));
    } catch (...) {
        // Out of memory: nothing can be reported.
    }
}

}  // namespace

bool likedCurrentVersion() {
    return readDword(HKEY_CURRENT_USER, UserRegistry, likedValueName().c_str(), 0) != 0;
}

void beginLike(HWND window, UINT message) {
    startDetached([window, message] { likeWorker(window, message); });
}

}  // namespace calmlane
