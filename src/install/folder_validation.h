#pragma once
// Whether a folder may become the installation folder of a program that runs as a LocalSystem service.
#include <windows.h>

#include <string>

namespace calmlane {

// The refusal of a folder that others could change (rule 8), also used by the installer.
inline constexpr const char* UnprotectedFolder =
    "Choose a protected folder (for example under Program Files). User-writable parent folders and links are not "
    "safe for a Windows service.";

// The normalised full path (no trailing backslash), or std::runtime_error with the reason.
// Inspects only; creates and changes nothing.
std::wstring validateInstallDirectory(const std::wstring& requested);

// An existing folder that no one but SYSTEM, Administrators and TrustedInstaller owns or may write,
// delete or re-permission; read through `opened` when the caller holds it open.
bool existingFolderTrusted(const std::wstring& path, HANDLE opened = nullptr);

}  // namespace calmlane
