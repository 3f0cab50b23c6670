#pragma once
// The service's diagnostic channel and Windows error texts.
#include <cstdint>
#include <string>

namespace calmlane {

// Writes the line to HKLM "LastDiagnostic", the debugger output and the Application event log; a line
// that repeats the previous one reaches the event log at most once a minute (see RepeatFilter).
// Never fails towards the caller: a lost copy only loses that sink.
void logEvent(const std::wstring& message);

// The event log's rule against floods: any interactive user can knock at the pipe ten times a second,
// and a pending adapter is retried every 2 s. A line equal to the previous line is admitted only when
// a minute has passed since that line was last admitted; any other line is admitted at once.
class RepeatFilter {
public:
    bool admit(const std::wstring& line, std::uint64_t nowMs);

private:
    std::wstring previous_;
    std::uint64_t admittedAt_ = 0;
    bool any_ = false;
};

// The system's text for a Windows error code, followed by " (code)"; "Windows error" when unknown.
std::wstring errorText(unsigned long code);

}  // namespace calmlane
