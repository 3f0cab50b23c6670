#pragma once
// Whether a folder may become the installation folder of a program that runs as a LocalSystem service.
#include <string>

namespace calmlane {

// The normalised full path (no trailing backslash), or std::runtime_error with the reason.
// Inspects only; creates and changes nothing.
std::wstring validateInstallDirectory(const std::wstring& requested);

}  // namespace calmlane
