#pragma once
// Staged update installers in the user's local application data.
#include <windows.h>

#include <string>
#include <string_view>

#include "app/handles.h"
#include "update/staging_rules.h"

namespace calmlane {

// The staging folder: local application data, then "Calmlane\Updates".
std::wstring updateFolder();

// "Calmlane" and "Updates" below the local application data, each opened without following a link at its
// name and held without delete sharing, so that neither can be renamed or replaced by a link while held.
struct StagingFolders {
    UniqueHandle product;
    UniqueHandle updates;  // null when either is missing or is no real folder (a junction or link, say)
};
// Opens the two folders, creating them when `create`; `access` is what the Updates handle needs.
// Throws "Folder unavailable" when the profile has no local application data.
StagingFolders openStagingFolders(bool create, DWORD access);

// Removes left-over staged installers and then the folder if it is empty. Best effort: never throws,
// since every process start calls it before any role can run (the service and elevated roles included).
// The folder is user-writable, so an elevated start must not be steered elsewhere: it works only through
// the held folders, and removes nothing but regular files and the empty folder itself.
void cleanupStagedUpdates() noexcept;

}  // namespace calmlane
