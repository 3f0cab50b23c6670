#include "update/staging.h"

#include <shlobj.h>

#include <vector>

#include "app/held_folder.h"
#include "app/settings.h"

namespace calmlane {

static_assert(attribute::Directory == FILE_ATTRIBUTE_DIRECTORY && attribute::Device == FILE_ATTRIBUTE_DEVICE &&
              attribute::ReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT && attribute::Invalid == INVALID_FILE_ATTRIBUTES);

std::wstring updateFolder() { return folder(CSIDL_LOCAL_APPDATA) + L"\\Calmlane\\Updates"; }

StagingFolders openStagingFolders(bool create, DWORD access) {
    StagingFolders folders;
    const DWORD parentAccess = FILE_TRAVERSE | (create ? FILE_ADD_SUBDIRECTORY : 0);
    // The local application data itself is the user's to place, a link included.
    const UniqueHandle profile(CreateFileW(folder(CSIDL_LOCAL_APPDATA).c_str(), parentAccess | FILE_READ_ATTRIBUTES,
                                           ShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!profile) return folders;
    const Disposition disposition = create ? Disposition::OpenOrCreate : Disposition::Open;
    folders.product = openBelow(profile.get(), L"Calmlane", Entry::Folder, parentAccess, ShareNoDelete, disposition);
    if (folders.product) {
        folders.updates =
            openBelow(folders.product.get(), L"Updates", Entry::Folder, access, ShareNoDelete, disposition);
    }
    return folders;
}

void cleanupStagedUpdates() noexcept {
    try {
        const StagingFolders staging = openStagingFolders(false, FILE_LIST_DIRECTORY | DELETE);
        if (!staging.updates) return;
        std::vector<std::wstring> installers;
        forEachEntry(staging.updates.get(), [&](std::wstring_view name, DWORD attributes) {
            if (isStagedInstaller(name, attributes)) installers.emplace_back(name);
        });
        // Each one is checked again from its own handle: a regular file really at that name.
        for (const std::wstring& name : installers) {
            if (const UniqueHandle file = openBelow(staging.updates.get(), name, Entry::File, DELETE, ShareAll)) {
                deleteThrough(file.get());
            }
        }
        deleteThrough(staging.updates.get());  // refused unless empty; then removed when the handle closes
    } catch (...) {
        // Folder unavailable or out of memory: nothing staged can be found, nothing to do.
    }
}

}  // namespace calmlane
