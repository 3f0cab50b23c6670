#pragma once
// The session thread's input rule for a full-screen saver, as plain numbers.
#include <cstdint>

namespace calmlane {

// Input in the saver's first 500 ms is its starting key or click being released.
inline constexpr std::uint64_t InputGraceMs = 501;

// The first 500 ms are ignored: the last-input time (GetLastInputInfo's tick) read on the first tick at
// or after 501 ms is the reference (so the release of the key that started the saver never ends it), and
// any later change ends the saver. An unreadable time changes nothing.
class InputWatch {
public:
    bool ends(std::uint64_t sinceStartMs, bool read, std::uint32_t lastInput);

private:
    bool referenced_ = false;
    std::uint32_t reference_ = 0;
};

}  // namespace calmlane
