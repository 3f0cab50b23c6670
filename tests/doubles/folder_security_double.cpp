// Folder-security double: the attributes and the security descriptor of a folder come from tables in
// the test store; a folder the tables do not list gets the Windows answer. Value names are paths (the
// registry compares them case-insensitively, as Windows compares paths).
//   SOFTWARE\CalmlaneTest\FolderAttributes  DWORD per folder
//   SOFTWARE\CalmlaneTest\FolderSecurity    REG_SZ per folder: the owner and DACL as SDDL; an empty or
//                                           invalid text makes the read fail
// Securing a folder is recorded as the seam call "folder.secure <path> <SDDL>" and performed; Wine keeps
// no file security, so what was applied goes into FolderSecurity, where the next reads find it.
#include "app/settings.h"
#include "doubles/double_store.h"
#include "install/folder_security.h"

#include <sddl.h>

#include <stdexcept>

namespace calmlane::folder_security {

namespace {

std::wstring tableKey(const wchar_t* table) { return std::wstring(doubles::StoreKey) + L"\\" + table; }

}  // namespace

DWORD attributes(const std::wstring& path) {
    doubles::enterCall(L"folder.attributes", path);
    doubles::leaveCall();
    DWORD value = 0;
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_LOCAL_MACHINE, tableKey(L"FolderAttributes").c_str(), path.c_str(), RRF_RT_REG_DWORD,
                        nullptr, &value, &size) == ERROR_SUCCESS
               ? value
               : windowsAttributes(path);
}

UniqueLocal descriptor(const std::wstring& path, HANDLE opened) {
    doubles::enterCall(L"folder.descriptor", path);
    doubles::leaveCall();
    std::wstring text;
    if (!readString(HKEY_LOCAL_MACHINE, tableKey(L"FolderSecurity").c_str(), path.c_str(), text)) {
        return windowsDescriptor(path, opened);
    }
    PSECURITY_DESCRIPTOR converted = nullptr;
    if (text.empty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &converted, nullptr)) {
        return UniqueLocal();
    }
    return UniqueLocal(converted);
}

DWORD secure(const std::wstring& path, HANDLE opened, PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text, nullptr)) {
        text = nullptr;
    }
    const UniqueLocal owned(text);
    const std::wstring sddl = text != nullptr ? text : L"";
    const DWORD failure = doubles::enterCall(L"folder.secure", path + L" " + sddl);
    const DWORD result = failure != 0 ? failure : windowsSecure(opened, descriptor);
    doubles::leaveCall();
    if (result != ERROR_SUCCESS) return result;
    try {
        writeString(HKEY_LOCAL_MACHINE, tableKey(L"FolderSecurity").c_str(), path.c_str(), sddl);
    } catch (const std::runtime_error&) {
        // A lost record: later reads get Wine's answer.
    }
    return result;
}

}  // namespace calmlane::folder_security
