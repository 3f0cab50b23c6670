#pragma once
// Which names in the staging folder are staged installers, and how one is named (free of <windows.h>, so
// that it also builds natively). staging.cpp checks the attribute values against the SDK's.
#include <string>
#include <string_view>

namespace calmlane {

// File attributes, with their values from winnt.h and fileapi.h.
namespace attribute {
inline constexpr unsigned long Directory = 0x00000010;     // FILE_ATTRIBUTE_DIRECTORY
inline constexpr unsigned long Device = 0x00000040;        // FILE_ATTRIBUTE_DEVICE
inline constexpr unsigned long ReparsePoint = 0x00000400;  // FILE_ATTRIBUTE_REPARSE_POINT
inline constexpr unsigned long Invalid = 0xFFFFFFFF;       // INVALID_FILE_ATTRIBUTES
}  // namespace attribute

// The name the installer of `version` is staged under: "Calmlane-Setup-<version>.exe".
std::wstring stagedInstallerName(std::wstring_view version);

// The decision, from the file attributes read (testable with any attributes): a regular file named
// "Calmlane-Setup-*.exe" (exactly ".exe"), never a directory or reparse point.
bool isStagedInstaller(std::wstring_view name, unsigned long attributes);

}  // namespace calmlane
