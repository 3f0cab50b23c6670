#pragma once
// The event log's rule against floods: any interactive user can knock at the pipe ten times a second,
// or start and end savers in a loop, and pending adapters are retried every 2 s, each with its own line.
// A key (the line's kind, see repeatKey) is admitted only when a minute has passed since it was last
// admitted, whatever other keys came between; the 32 keys admitted last are remembered.
#include <cstdint>
#include <deque>
#include <string>

namespace calmlane {

class RepeatFilter {
public:
    bool admit(const std::wstring& key, std::uint64_t nowMs);

private:
    struct Admitted {
        std::wstring key;
        std::uint64_t at;
    };
    std::deque<Admitted> recent_;
};

}  // namespace calmlane
