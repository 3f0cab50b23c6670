// Folder-security double: the attributes and the standard user's rights of a folder come from a table
// in the test store; a folder the table does not list gets the Windows answer. Value names are paths
// (the registry compares them case-insensitively, as Windows compares paths).
//   SOFTWARE\CalmlaneTest\FolderAttributes  DWORD per folder
//   SOFTWARE\CalmlaneTest\FolderAccess      DWORD per folder: the rights granted; 0 = the check fails
#include "doubles/double_store.h"
#include "install/folder_security.h"

namespace calmlane::folder_security {

namespace {

bool tableValue(const wchar_t* table, const std::wstring& path, DWORD& value) {
    const std::wstring key = std::wstring(doubles::StoreKey) + L"\\" + table;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), path.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
}

}  // namespace

DWORD attributes(const std::wstring& path) {
    doubles::enterCall(L"folder.attributes", path);
    doubles::leaveCall();
    DWORD value = 0;
    return tableValue(L"FolderAttributes", path, value) ? value : windowsAttributes(path);
}

bool grantedAccess(HANDLE token, const std::wstring& path, DWORD& granted) {
    doubles::enterCall(L"folder.access", path);
    doubles::leaveCall();
    DWORD value = 0;
    if (!tableValue(L"FolderAccess", path, value)) return windowsGrantedAccess(token, path, granted);
    if (value == 0) return false;
    granted = value;
    return true;
}

}  // namespace calmlane::folder_security
