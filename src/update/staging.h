#pragma once
// Staged update installers in the user's local application data.
#include <string>

namespace calmlane {

// The staging folder: local application data, then "Calmlane\Updates".
std::wstring updateFolder();

// Removes left-over staged installers and then the folder if it is empty. Best effort: never throws,
// since every process start calls it before any role can run (the service included).
void cleanupStagedUpdates() noexcept;

}  // namespace calmlane
