#pragma once
// Dotted decimal version numbers, as the running program and the maker's services spell them.
// Free of <windows.h>: also built natively for sanitizers and fuzzing.
#include <cstdint>
#include <string_view>
#include <vector>

namespace calmlane {

// Decimal components separated by "."; any other character, an empty component before a ".", or a
// component above 65,535 (a version resource holds 16 bits) gives the empty list. A trailing "." is
// allowed.
std::vector<std::uint32_t> versionParts(std::wstring_view text);

// True when candidate is strictly newer than current (missing components count as 0); false when
// either does not parse.
bool isNewerVersion(std::wstring_view current, std::wstring_view candidate);

}  // namespace calmlane
