#include "app/local_path.h"

#include <cwctype>

namespace calmlane {

namespace {

// Where the drive letter stands: after a "\\?\" prefix, or first.
std::size_t driveAt(const std::wstring& path) { return path.rfind(L"\\\\?\\", 0) == 0 ? 4 : 0; }

}  // namespace

bool driveLetterPath(const std::wstring& path) {
    const std::size_t start = driveAt(path);
    if (path.size() < start + 4) return false;
    const wchar_t letter = static_cast<wchar_t>(towupper(path[start]));
    return letter >= L'A' && letter <= L'Z' && path[start + 1] == L':' && path[start + 2] == L'\\' &&
           path.find(L'/') == std::wstring::npos;
}

std::wstring driveRoot(const std::wstring& path) { return path.substr(driveAt(path), 3); }

}  // namespace calmlane
