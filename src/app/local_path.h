#pragma once
// Paths that a privileged process may open although a user wrote them: files on a fixed local disk,
// named by drive letter. A network or device path would have it sign in to the host it names.
#include <string>

namespace calmlane {

// The form only: "C:\..." or "\\?\C:\...", without forward slashes.
bool driveLetterPath(const std::wstring& path);
// The drive's root ("C:\") of a path of that form.
std::wstring driveRoot(const std::wstring& path);
// The form, on a drive that Windows reports as a fixed disk.
bool onFixedDisk(const std::wstring& path);

}  // namespace calmlane
