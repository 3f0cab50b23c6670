#include "update/version.h"

#include <algorithm>

namespace calmlane {

namespace {
// A version resource holds 16-bit components: a larger one could never match an installer.
constexpr std::uint32_t MaxComponent = 65535;
}  // namespace

std::vector<std::uint32_t> versionParts(std::wstring_view text) {
    std::vector<std::uint32_t> parts;
    std::uint32_t value = 0;
    bool digits = false;
    for (const wchar_t c : text) {
        if (c >= L'0' && c <= L'9') {
            value = value * 10u + static_cast<std::uint32_t>(c - L'0');
            if (value > MaxComponent) return {};  // checked per digit, so it never wraps
            digits = true;
        } else if (c == L'.' && digits) {
            parts.push_back(value);
            value = 0;
            digits = false;
        } else {
            return {};
        }
    }
    if (digits) parts.push_back(value);
    return parts;
}

bool isNewerVersion(std::wstring_view current, std::wstring_view candidate) {
    std::vector<std::uint32_t> have = versionParts(current);
    std::vector<std::uint32_t> offered = versionParts(candidate);
    if (have.empty() || offered.empty()) return false;
    const std::size_t length = std::max(have.size(), offered.size());
    have.resize(length, 0);
    offered.resize(length, 0);
    return std::lexicographical_compare(have.begin(), have.end(), offered.begin(), offered.end());
}

}  // namespace calmlane
