#pragma once
// The event log's rule against floods: any interactive user can knock at the pipe ten times a second,
// and pending adapters are retried every 2 s, each with its own line. A line is admitted only when a
// minute has passed since the same line was last admitted, whatever other lines came between; the 32
// lines admitted last are remembered.
#include <cstdint>
#include <deque>
#include <string>

namespace calmlane {

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

}  // namespace calmlane
