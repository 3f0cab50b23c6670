#include "service/repeat_filter.h"

namespace calmlane {

namespace {

constexpr std::uint64_t RepeatIntervalMs = 60000;
constexpr std::size_t RememberedKeys = 32;

}  // namespace

bool RepeatFilter::admit(const std::wstring& key, std::uint64_t nowMs) {
    while (!recent_.empty() && nowMs - recent_.front().at >= RepeatIntervalMs) recent_.pop_front();
    for (const Admitted& admitted : recent_) {
        if (admitted.key == key) return false;
    }
    if (recent_.size() == RememberedKeys) recent_.pop_front();
    recent_.push_back({key, nowMs});
    return true;
}

}  // namespace calmlane
