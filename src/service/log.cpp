#include "service/log.h"

#include <windows.h>

#include <mutex>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "service/event_kinds.h"
#include "service/repeat_filter.h"

namespace calmlane {

namespace {

// The service logs from its loop and from the block's worker: one line at a time, in one order in
// every sink.
std::mutex logLock;
RepeatFilter eventLogFilter;

}  // namespace

void logEvent(const std::wstring& message) {
    const std::lock_guard<std::mutex> lock(logLock);
    try {
        writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastDiagnostic", message);
    } catch (...) {
        // The registry copy is lost; the debugger and the event log still get the line.
    }
    OutputDebugStringW((std::wstring(Product) + L": " + message + L"\n").c_str());
    // The event log takes one line of a kind a minute; the two sinks above keep every line with its numbers.
    if (!eventLogFilter.admit(repeatKey(message), GetTickCount64())) return;
    UniqueEventSource source(RegisterEventSourceW(nullptr, ServiceName));
    if (!source) return;
    const EventKind& kind = eventKind(message);
    const WORD type = kind.level == EventLevel::Error     ? EVENTLOG_ERROR_TYPE
                      : kind.level == EventLevel::Warning ? EVENTLOG_WARNING_TYPE
                                                          : EVENTLOG_INFORMATION_TYPE;
    const wchar_t* strings[] = {message.c_str()};
    // A lost entry is lost: the registry value and the debugger output still have the line.
    ReportEventW(source.get(), type, 0, kind.id, nullptr, 1, 0, strings, nullptr);
}

}  // namespace calmlane
