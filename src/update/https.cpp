// The only translation unit that includes winhttp.h (it clashes with wininet.h).
#include "update/https.h"

#include <windows.h>
#include <winhttp.h>

#include <algorithm>

#include "update/web_services.h"

namespace calmlane {

void closeInternetHandle(void* handle) noexcept { WinHttpCloseHandle(handle); }

namespace {

// WinHTTP's own limit for a response's headers.
constexpr unsigned long ResponseHeadersMs = 90000;

// TLS 1.2 and 1.3; Windows versions that do not know 1.3 refuse that flag, and then get 1.2 alone.
bool requireModernTls(HINTERNET session) {
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols))) return true;
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    return WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof(protocols)) != FALSE;
}

}  // namespace

bool HttpsExchange::perform(const wchar_t* host, const wchar_t* verb, const std::wstring& path,
                            const HttpTimeouts& timeouts, const wchar_t* headers) {
    deadline_ = GetTickCount64() + timeouts.total;
    receiveMs_ = timeouts.receive;
    session_.reset(WinHttpOpen(UserAgent, AutomaticProxy, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session_ || !requireModernTls(session_.get())) return false;
    if (!WinHttpSetTimeouts(session_.get(), timeouts.resolve, timeouts.connect, timeouts.send, timeouts.receive)) {
        return false;
    }
    connection_.reset(WinHttpConnect(session_.get(), host, ServicePort, 0));
    if (!connection_) return false;
    request_.reset(WinHttpOpenRequest(connection_.get(), verb, path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                      WINHTTP_DEFAULT_ACCEPT_TYPES, SecureRequest));
    if (!request_) return false;
    // A redirect could lead anywhere, the voter header with it: every answer is taken as it comes.
    DWORD disabled = WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(request_.get(), WINHTTP_OPTION_DISABLE_FEATURE, &disabled, sizeof(disabled))) return false;
    const BOOL sent = headers ? WinHttpSendRequest(request_.get(), headers, static_cast<DWORD>(-1),
                                                   WINHTTP_NO_REQUEST_DATA, 0, 0, 0)
                              : WinHttpSendRequest(request_.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                   WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
    // Headers trickled byte by byte must not outlast the exchange either.
    if (!sent || !limitWait(WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, ResponseHeadersMs) ||
        !limitWait(WINHTTP_OPTION_RECEIVE_TIMEOUT, static_cast<unsigned long>(receiveMs_)) ||
        !WinHttpReceiveResponse(request_.get(), nullptr)) {
        return false;
    }
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        return false;
    }
    status_ = status;
    return true;
}

std::optional<unsigned long long> HttpsExchange::contentLength() const {
    wchar_t text[32] = {};
    DWORD size = sizeof(text);
    if (!request_ || !WinHttpQueryHeaders(request_.get(), WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                                          text, &size, WINHTTP_NO_HEADER_INDEX)) {
        return std::nullopt;
    }
    unsigned long long length = 0;
    const std::size_t count = size / sizeof(wchar_t);
    if (count == 0 || count > 19) return std::nullopt;  // 19 digits always fit in 64 bits
    for (std::size_t i = 0; i < count; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return std::nullopt;
        length = length * 10 + static_cast<unsigned long long>(text[i] - L'0');
    }
    return length;
}

bool HttpsExchange::limitWait(unsigned long option, unsigned long usualMs) {
    const ULONGLONG now = GetTickCount64();
    if (!request_ || now >= deadline_) return false;
    DWORD wait = static_cast<DWORD>(std::min<ULONGLONG>(usualMs, deadline_ - now));
    return WinHttpSetOption(request_.get(), option, &wait, sizeof(wait)) != FALSE;
}

bool HttpsExchange::read(void* into, unsigned long size, unsigned long& count) {
    DWORD got = 0;
    if (!limitWait(WINHTTP_OPTION_RECEIVE_TIMEOUT, static_cast<unsigned long>(receiveMs_)) ||
        !WinHttpReadData(request_.get(), into, size, &got)) {
        return false;
    }
    count = got;
    return true;
}

std::string HttpsExchange::smallBody() {
    std::string body;
    if (!request_) return body;
    for (;;) {
        DWORD available = 0;
        if (!limitWait(WINHTTP_OPTION_RECEIVE_TIMEOUT, static_cast<unsigned long>(receiveMs_)) ||
            !WinHttpQueryDataAvailable(request_.get(), &available)) {
            return {};
        }
        if (available == 0) return body;
        if (available > SmallBodyLimit - body.size()) return {};  // longer than any valid reply
        const std::size_t start = body.size();
        body.resize(start + available);
        DWORD got = 0;
        if (!WinHttpReadData(request_.get(), body.data() + start, available, &got)) return {};
        body.resize(start + got);
        if (got == 0) return body;
    }
}

}  // namespace calmlane
