// The product's side of the folder-security seam: the real Windows queries.
#include "install/folder_security.h"

namespace calmlane::folder_security {

DWORD attributes(const std::wstring& path) { return windowsAttributes(path); }

bool grantedAccess(HANDLE token, const std::wstring& path, DWORD& granted) {
    return windowsGrantedAccess(token, path, granted);
}

}  // namespace calmlane::folder_security
