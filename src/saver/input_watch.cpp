#include "saver/input_watch.h"

namespace calmlane {

bool InputWatch::ends(std::uint64_t sinceStartMs, bool read, std::uint32_t lastInput) {
    if (sinceStartMs < InputGraceMs || !read) return false;
    if (!referenced_) {
        referenced_ = true;
        reference_ = lastInput;
        return false;
    }
    return lastInput != reference_;
}

}  // namespace calmlane
