#include "update/formats.h"

extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    calmlane::parseVoteReply(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
