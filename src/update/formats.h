#pragma once
// What the product reads from the maker's services: the update manifest, the vote reply and the
// header of a downloaded installer. Byte searches, not full parsers, so that a server can add members
// freely. Free of <windows.h>: also built natively for sanitizers and fuzzing.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace calmlane {

// The manifest's "version" string, unescaped (only \" \\ \/ are allowed); empty when missing,
// unterminated or written with any other escape.
std::string manifestVersion(std::string_view body);

struct VoteReply {
    bool added = false;        // "added" is followed by true
    std::uint64_t likes = 0;   // the digits after "likes", 0 when there are none
};
VoteReply parseVoteReply(std::string_view body);

// Reads exactly `count` bytes at `offset` into `into`; false when fewer arrive or the read fails.
using ReadAt = std::function<bool(std::uint64_t offset, unsigned char* into, std::size_t count)>;

// An x86-64 Windows image: "MZ", a new-header offset in (0, 1 MiB), "PE\0\0", machine 0x8664.
bool isX64Image(const ReadAt& read);

// The version resource of a Windows image (type RT_VERSION 16, name 1, its first language), found through
// the image's resource table and section table as the loader maps them: the bytes GetFileVersionInfoW
// would copy, read from wherever `read` reads. Empty when there is none, when it is larger than 1 MiB,
// or when the tables point outside the sections' data.
std::vector<unsigned char> versionResource(const ReadAt& read);

}  // namespace calmlane
