#pragma once
// The service's diagnostic channel.
#include <string>

namespace calmlane {

// Writes the line to HKLM "LastDiagnostic", the debugger output and the Application event log, there
// with its kind's event id and level (event_kinds.h); one line of a kind reaches the event log at most
// once a minute (see RepeatFilter). Safe to call from any thread; never
// fails towards the caller: a lost copy only loses that sink.
void logEvent(const std::wstring& message);

}  // namespace calmlane
