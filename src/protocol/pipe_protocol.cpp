#include "protocol/pipe_protocol.h"

namespace calmlane::pipe {

namespace {

constexpr std::wstring_view Hex = L"0123456789abcdef";

std::wstring prefix() { return std::wstring(PipeName) + L"."; }

}  // namespace

std::wstring name(const unsigned char (&random)[RandomBytes]) {
    std::wstring text = prefix();
    for (const unsigned char byte : random) {
        text += Hex[byte >> 4];
        text += Hex[byte & 0xF];
    }
    return text;
}

bool isName(std::wstring_view path) {
    const std::wstring start = prefix();
    if (path.size() != start.size() + 2 * RandomBytes || path.substr(0, start.size()) != start) return false;
    return path.find_first_not_of(Hex, start.size()) == std::wstring_view::npos;
}

}  // namespace calmlane::pipe
