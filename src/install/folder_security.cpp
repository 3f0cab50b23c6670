#include "install/folder_security.h"

#include <aclapi.h>

#include <stdexcept>
#include <vector>

namespace calmlane {

namespace folder_security {

DWORD windowsAttributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool windowsGrantedAccess(HANDLE token, const std::wstring& path, DWORD& granted) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD read = GetNamedSecurityInfoW(
        path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
        nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (read != ERROR_SUCCESS) return false;
    UniqueLocal owned(descriptor);
    GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
    std::vector<BYTE> privileges(4096);
    DWORD privilegesLength = static_cast<DWORD>(privileges.size());
    DWORD mask = 0;
    BOOL status = FALSE;
    const BOOL checked = AccessCheck(descriptor, token, MAXIMUM_ALLOWED, &mapping,
                                     reinterpret_cast<PPRIVILEGE_SET>(privileges.data()), &privilegesLength, &mask,
                                     &status);
    owned.reset();
    if (!checked || !status) return false;
    granted = mask;
    return true;
}

}  // namespace folder_security

UniqueHandle standardUserToken() {
    UniqueHandle process;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process.put())) {
        throw std::runtime_error("Cannot verify folder security.");
    }
    BYTE sid[SECURITY_MAX_SID_SIZE] = {};
    DWORD sidSize = sizeof(sid);
    UniqueHandle restricted;
    UniqueHandle impersonation;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize)) {
        SID_AND_ATTRIBUTES disabled = {sid, 0};
        if (CreateRestrictedToken(process.get(), DISABLE_MAX_PRIVILEGE, 1, &disabled, 0, nullptr, 0, nullptr,
                                  restricted.put())) {
            DuplicateToken(restricted.get(), SecurityImpersonation, impersonation.put());
        }
    }
    if (!impersonation) throw std::runtime_error("Cannot verify installation folder permissions.");
    return impersonation;
}

}  // namespace calmlane
