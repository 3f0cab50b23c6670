#include "service/event_kinds.h"

namespace calmlane {

namespace {

using enum EventLevel;

// 1xx information, 2xx warning, 3xx error. Ids are never reused for another meaning: monitoring rules
// name them.
constexpr EventKind Kinds[] = {
    {L"Accepted saver process: ", 100, Information},
    {L"IPv4/IPv6 Internet and LAN blocked", 101, Information},
    {L"Physical Ethernet/Wi-Fi adapters paused.", 102, Information},
    {L"Saver sent STOP", 103, Information},
    {L"Saver process ended", 104, Information},
    {L"Pipe closed/error: ", 105, Information},
    {L"Screen off/dimmed: ", 106, Information},
    {L"Restoring network: ", 107, Information},
    {L"Firewall filters released.", 108, Information},
    {L"Adapter restored by Calmlane: ", 109, Information},
    {L"Adapter recovery entry cleared", 110, Information},
    {L"Recovery requested; reason code: ", 111, Information},
    {L"Console display state: ", 112, Information},
    {L"Service stopping: restoring network.", 113, Information},
    {L"Legacy disabled-adapter list removed", 114, Information},
    {L"Service started.", 115, Information},
    {L"Adapter restoration pending: ", 200, Warning},
    {L"Heartbeat expired", 201, Warning},
    {L"Unexpected pipe command", 202, Warning},
    {L"Rejected inactive client session: ", 203, Warning},
    {L"Rejected client executable path.", 204, Warning},
    {L"Policy value outside its range ignored: ", 205, Warning},
    {L"Display power subscription failed", 206, Warning},
    {L"Legacy disabled-adapter list could not be removed", 207, Warning},
    {L"No START from the client", 208, Warning},
    {L"Network blocking failed", 300, Error},
    {L"WFP engine open failed: ", 301, Error},
    {L"WFP failure: ", 302, Error},
    {L"Adapter pause failed; device not claimed: ", 303, Error},
    {L"Firewall recovery failed; retry pending.", 304, Error},
    {L"Service start-up failed: ", 305, Error},
};

}  // namespace

std::span<const EventKind> eventKinds() { return Kinds; }

const EventKind& eventKind(std::wstring_view line) {
    for (const EventKind& kind : Kinds) {
        if (line.starts_with(kind.prefix)) return kind;
    }
    return OtherLine;
}

std::wstring repeatKey(std::wstring_view line) {
    const EventKind& kind = eventKind(line);
    return std::wstring(kind.id == OtherLine.id ? line : std::wstring_view(kind.prefix));
}

}  // namespace calmlane
