#include <cstdlib>
#include <string>

#include "update/version.h"

// Two versions from the input, 16-bit characters, split at the first zero character.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, std::size_t size) {
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | data[i + 1] << 8));
    const std::size_t split = text.find(L'\0');
    const std::wstring first = text.substr(0, split);
    const std::wstring second = split == std::wstring::npos ? first : text.substr(split + 1);
    if (calmlane::isNewerVersion(first, first)) std::abort();  // nothing is newer than itself
    if (calmlane::isNewerVersion(first, second) && calmlane::isNewerVersion(second, first)) std::abort();
    if (calmlane::versionParts(first).size() > first.size()) std::abort();
    return 0;
}
