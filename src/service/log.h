#pragma once
// The service's diagnostic channel and Windows error texts.
#include <cstdint>
#include <deque>
#include <string>

namespace calmlane {

// Writes the line to HKLM "LastDiagnostic", the debugger output and the Application event log; a line
// reaches the event log at most once a minute (see RepeatFilter). Safe to call from any thread; never
// fails towards the caller: a lost copy only loses that sink.
void logEvent(const std::wstring& message);

// The event log's rule against floods: any interactive user can knock at the pipe ten times a second,
// and pending adapters are retried every 2 s, each with its own line. A line is admitted only when a
// minute has passed since the same line was last admitted, whatever other lines came between; the 32
// lines admitted last are remembered.
class RepeatFilter {
public:
    bool admit(const std::wstring& line, std::uint64_t nowMs);

private:
    struct Admitted {
        std::wstring line;
        std::uint64_t at;
    };
    std::deque<Admitted> recent_;
};

// The system's text for a Windows error code, followed by " (code)"; "Windows error" when unknown.
std::wstring errorText(unsigned long code);

}  // namespace calmlane
