#pragma once
// Who may change a folder: the facts behind the install-folder checks, and the verdict over them.
// Wine has no file security, so the facts sit behind a narrow seam: the product links the Windows
// implementation (platform/folder_security_windows.cpp), the test build a double that answers from a table.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "app/handles.h"

namespace calmlane::folder_security {

// GetFileAttributesW; INVALID_FILE_ATTRIBUTES when the folder cannot be read.
DWORD attributes(const std::wstring& path);

// The folder's owner and DACL, read through `opened` when the caller holds the folder open, else by
// path; null when they cannot be read.
UniqueLocal descriptor(const std::wstring& path, HANDLE opened = nullptr);

// The Windows implementations, which the seam's product side forwards to.
DWORD windowsAttributes(const std::wstring& path);
UniqueLocal windowsDescriptor(const std::wstring& path, HANDLE opened);

}  // namespace calmlane::folder_security

namespace calmlane {

// Rights that let a principal swap or re-point what an ancestor folder holds, or take the folder over.
// Below a drive root, DELETE as well (a root cannot be deleted).
inline constexpr DWORD AncestorRights = FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER;
// Rights on the installation folder itself that only trusted principals may hold: writing anything into
// it, deleting it or what it holds, changing its permissions or owner.
inline constexpr DWORD FolderRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                      FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER;

// One entry of a DACL, as the verdict reads it. `principal` is the SID in string form ("S-1-5-18").
struct AccessEntry {
    bool allow;        // an allow entry (deny and audit entries never grant anything)
    bool inheritOnly;  // applies to children only, not to the folder itself
    DWORD mask;        // as stored: generic rights not yet mapped
    std::wstring principal;
};

// True when the owner is SYSTEM, Administrators or TrustedInstaller and no allow entry that applies to
// the folder itself grants any of `rights` (generic rights mapped for files) to another principal.
// No DACL (nullopt) grants everyone everything.
bool onlyTrustedHold(const std::wstring& owner, const std::optional<std::vector<AccessEntry>>& dacl, DWORD rights);

// The same verdict over a security descriptor; false when its owner or DACL cannot be read.
bool descriptorTrusted(PSECURITY_DESCRIPTOR descriptor, DWORD rights);

}  // namespace calmlane
