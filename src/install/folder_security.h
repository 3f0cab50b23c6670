#pragma once
// Who may change a folder: the facts behind the install-folder checks, and the verdict over a real
// security descriptor (the verdict itself is in folder_verdict.h).
// Wine has no file security, so the facts sit behind a narrow seam: the product links the Windows
// implementation (platform/folder_security_windows.cpp), the test build a double that answers from a table.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app/handles.h"
#include "install/folder_verdict.h"

namespace calmlane::folder_security {

// GetFileAttributesW; INVALID_FILE_ATTRIBUTES when the folder cannot be read.
DWORD attributes(const std::wstring& path);

// The folder's owner and DACL, read through `opened` when the caller holds the folder open, else by
// path; null when they cannot be read.
UniqueLocal descriptor(const std::wstring& path, HANDLE opened = nullptr);

// Gives the folder at `path`, held open as `opened`, the owner and DACL of `descriptor` (SetSecurityInfo),
// the DACL protected from inheritance when the descriptor says so; ERROR_SUCCESS or the error.
DWORD secure(const std::wstring& path, HANDLE opened, PSECURITY_DESCRIPTOR descriptor);

// The Windows implementations, which the seam's product side forwards to.
DWORD windowsAttributes(const std::wstring& path);
UniqueLocal windowsDescriptor(const std::wstring& path, HANDLE opened);
DWORD windowsSecure(HANDLE opened, PSECURITY_DESCRIPTOR descriptor);

}  // namespace calmlane::folder_security

namespace calmlane {

// The same verdict over a security descriptor; false when its owner or DACL cannot be read.
bool descriptorTrusted(PSECURITY_DESCRIPTOR descriptor, DWORD rights);

}  // namespace calmlane
