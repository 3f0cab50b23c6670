#pragma once
// Staged update installers in the user's local application data.
#include <string>
#include <string_view>

namespace calmlane {

// The staging folder: local application data, then "Calmlane\Updates".
std::wstring updateFolder();

// Removes left-over staged installers and then the folder if it is empty. Best effort: never throws,
// since every process start calls it before any role can run (the service and elevated roles included).
// The folder is user-writable, so an elevated start must not be steered elsewhere: it never follows a
// junction or symbolic link, and removes nothing but regular files and the empty folder itself.
void cleanupStagedUpdates() noexcept;

// The decisions, from the file attributes read (testable with any attributes):
// a directory that is not a reparse point (junction, symbolic link, mount point);
bool isRealDirectory(unsigned long attributes);
// a regular file named "Calmlane-Setup-*.exe" (exactly ".exe"), never a directory or reparse point.
bool isStagedInstaller(std::wstring_view name, unsigned long attributes);

}  // namespace calmlane
