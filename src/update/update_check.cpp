#include "update/update_check.h"

#include <memory>

#include "app/constants.h"
#include "app/policy.h"
#include "app/settings.h"
#include "update/formats.h"
#include "update/https.h"
#include "update/web_services.h"
#include "update/worker.h"

namespace calmlane {

namespace {

constexpr const wchar_t* AvailableVersion = L"AvailableVersion";
constexpr const wchar_t* LastUpdateCheckDay = L"LastUpdateCheckDay";

// Strict UTF-8 to UTF-16: an invalid sequence gives the empty string.
std::wstring fromUtf8(const std::string& bytes) {
    if (bytes.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                           static_cast<int>(bytes.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), static_cast<int>(bytes.size()),
                            text.data(), length) != length) {
        return {};
    }
    return text;
}

void fetchManifest(UpdateInfo& info) {
    HttpsExchange exchange;
    if (!exchange.perform(EndpointHost, L"GET", EndpointPath, {2500, 2500, 3000, 3000, 30000})) return;
    if (exchange.status() != 200) return;
    info.version = fromUtf8(manifestVersion(exchange.smallBody()));
    info.url = DownloadPage;
    info.available = isNewerVersion(Version, info.version);
    info.answered = !info.version.empty();
    if (!info.answered) return;
    try {
        writeString(HKEY_CURRENT_USER, UserRegistry, AvailableVersion, info.available ? info.version : L"");
        writeDword(HKEY_CURRENT_USER, UserRegistry, LastUpdateCheckDay, localDay());
    } catch (const std::exception&) {
        // The answer is still posted; the next silent check simply runs again.
    }
}

void checkWorker(HWND window, UINT message) noexcept {
    try {
        auto info = std::make_unique<UpdateInfo>();
        fetchManifest(*info);
        postOwned(window, message, std::move(info));
    } catch (...) {
        // Out of memory: nothing can be reported.
    }
}

}  // namespace

unsigned long localDay() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return now.wYear * 10000ul + now.wMonth * 100ul + now.wDay;
}

UpdateInfo cachedUpdateInfo() {
    UpdateInfo info;
    // Under the organisation's DisableUpdateCheck nothing is offered: no update button, blink or balloon.
    if (readPolicies().updateCheckDisabled ||
        !readString(HKEY_CURRENT_USER, UserRegistry, AvailableVersion, info.version)) {
        info.version.clear();
    }
    info.url = DownloadPage;
    info.available = isNewerVersion(Version, info.version);
    return info;
}

void beginUpdateCheck(HWND window, UINT message, bool force) {
    if (readPolicies().updateCheckDisabled) return;  // the organisation manages updates: no request at all
    if (!force && readDword(HKEY_CURRENT_USER, UserRegistry, LastUpdateCheckDay, 0) == localDay()) return;
    startDetached([window, message] { checkWorker(window, message); });
}

}  // namespace calmlane
