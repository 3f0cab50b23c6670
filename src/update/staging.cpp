#include "update/staging.h"

#include <shlobj.h>

#include <filesystem>
#include <system_error>

#include "app/settings.h"

namespace calmlane {

std::wstring updateFolder() { return folder(CSIDL_LOCAL_APPDATA) + L"\\Calmlane\\Updates"; }

void cleanupStagedUpdates() noexcept {
    try {
        namespace fs = std::filesystem;
        const fs::path staging = updateFolder();
        std::error_code error;
        if (!fs::exists(staging, error) || error) return;
        for (fs::directory_iterator it(staging, error), end; !error && it != end; it.increment(error)) {
            std::error_code entryError;
            if (!it->is_regular_file(entryError) || entryError) continue;
            const fs::path& file = it->path();
            if (file.filename().wstring().rfind(L"Calmlane-Setup-", 0) == 0 && file.extension().wstring() == L".exe") {
                fs::remove(file, entryError);
            }
        }
        fs::remove(staging, error);  // succeeds only when empty
    } catch (...) {
        // Folder unavailable or out of memory: nothing staged can be found, nothing to do.
    }
}

}  // namespace calmlane
