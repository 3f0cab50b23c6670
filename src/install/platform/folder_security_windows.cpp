// The product's side of the folder-security seam: the real Windows queries.
#include "install/folder_security.h"

namespace calmlane::folder_security {

DWORD attributes(const std::wstring& path) { return windowsAttributes(path); }

UniqueLocal descriptor(const std::wstring& path, HANDLE opened) { return windowsDescriptor(path, opened); }

DWORD secure(const std::wstring&, HANDLE opened, PSECURITY_DESCRIPTOR descriptor) {
    return windowsSecure(opened, descriptor);
}

}  // namespace calmlane::folder_security
