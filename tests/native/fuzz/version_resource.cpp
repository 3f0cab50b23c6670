#include <cstring>

#include "update/formats.h"

// The input is the file; reads outside it fail as a short read would.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    calmlane::versionResource([&](std::uint64_t offset, unsigned char* into, std::size_t count) {
        if (offset > size || size - offset < count) return false;
        std::memcpy(into, data + offset, count);
        return true;
    });
    return 0;
}
