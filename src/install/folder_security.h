#pragma once
// What a standard user may do to a folder: the facts behind the install-folder checks. Wine has no file
// security, so these facts sit behind a narrow seam: the product links the Windows implementation
// (platform/folder_security_windows.cpp), the test build a double that answers from a table.
#include <windows.h>

#include <string>

#include "app/handles.h"

namespace calmlane::folder_security {

// GetFileAttributesW; INVALID_FILE_ATTRIBUTES when the folder cannot be read.
DWORD attributes(const std::wstring& path);

// The rights that `token` (an impersonation token) is granted on the folder, asked for with
// MAXIMUM_ALLOWED; false when its security cannot be read, the check fails or nothing is granted.
bool grantedAccess(HANDLE token, const std::wstring& path, DWORD& granted);

// The Windows implementations, which the seam's product side forwards to.
DWORD windowsAttributes(const std::wstring& path);
bool windowsGrantedAccess(HANDLE token, const std::wstring& path, DWORD& granted);

}  // namespace calmlane::folder_security

namespace calmlane {

// The caller's own user without administrator rights: a restricted copy of the process token with
// the Administrators group disabled and every privilege but traverse removed, as an impersonation
// token. Throws "Cannot verify folder security." or "Cannot verify installation folder permissions.".
UniqueHandle standardUserToken();

}  // namespace calmlane
