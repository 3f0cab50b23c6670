#pragma once
// One HTTPS request to a maker's service over WinHTTP. The WinHTTP headers stay in https.cpp.
#include <optional>
#include <string>

#include "app/handles.h"

namespace calmlane {

struct HttpTimeouts {
    int resolve;
    int connect;
    int send;
    int receive;          // each of these per step or per read
    unsigned long total;  // the whole exchange: reads fail once it has passed since perform began
};

class HttpsExchange {
public:
    // Opens a session (product user agent, automatic proxy, TLS 1.2 or newer only), sets the time-outs,
    // connects to host on port 443, opens verb/path with the secure flag and redirects disabled (a 3xx
    // answer is just a status), sends it with `headers` (null: none; otherwise zero-terminated lines
    // ending in CR LF) and no body, receives the response and reads its status. False when any step
    // fails.
    bool perform(const wchar_t* host, const wchar_t* verb, const std::wstring& path, const HttpTimeouts& timeouts,
                 const wchar_t* headers = nullptr);
    unsigned long status() const noexcept { return status_; }
    // The Content-Length the server announced; empty when it sent none (or not a number).
    std::optional<unsigned long long> contentLength() const;

    // One read of up to `size` bytes; false when it fails or the exchange's total time has passed
    // (each wait for the peer is cut to the time left), `count` 0 at the end of the body.
    bool read(void* into, unsigned long size, unsigned long& count);

    // The whole body when it holds at most 16,384 bytes; empty when it is longer or a read fails.
    std::string smallBody();

private:
    // Declared in opening order: destruction closes request, connection, then session.
    UniqueInternet session_;
    UniqueInternet connection_;
    UniqueInternet request_;
    unsigned long status_ = 0;
    // Cuts the request's next wait of this kind (a WinHTTP time-out option) to the time left of the
    // exchange; false when none is left.
    bool limitWait(unsigned long option, unsigned long usualMs);
    int receiveMs_ = 0;
    unsigned long long deadline_ = 0;  // tick count
};

}  // namespace calmlane
