#include "update/staging.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "app/handles.h"
#include "app/settings.h"

namespace calmlane {

namespace {

constexpr unsigned long NotRegular = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;

unsigned long attributesOf(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(handle, &information) ? information.dwFileAttributes : INVALID_FILE_ATTRIBUTES;
}

// Opens the folder itself (a link is opened, not followed) and keeps it only when it is a real
// directory. Not shared for deletion: while it is held it cannot be renamed or replaced by a link.
UniqueHandle openRealDirectory(const std::wstring& path, DWORD extraAccess) {
    UniqueHandle directory(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE | extraAccess,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!directory || !isRealDirectory(attributesOf(directory.get()))) return {};
    return directory;
}

bool markForDeletion(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

// Deletes one entry after checking, from its own handle, that it is still a regular file. Without
// backup semantics a directory cannot be opened at all; a link is opened itself and then refused.
void removeStagedFile(const std::wstring& path, std::wstring_view name) {
    const UniqueHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (file && isStagedInstaller(name, attributesOf(file.get()))) markForDeletion(file.get());
}

// The entries of the held directory: names and attributes.
template <typename Visit>
void forEachEntry(HANDLE directory, Visit visit) {
    std::vector<unsigned long long> buffer(8192);  // 64 KiB, 8-byte aligned
    FILE_INFO_BY_HANDLE_CLASS query = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(directory, query, buffer.data(),
                                        static_cast<DWORD>(buffer.size() * sizeof(buffer[0])))) {
        query = FileIdBothDirectoryInfo;
        const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(bytes);
            visit(std::wstring_view(entry->FileName, entry->FileNameLength / sizeof(wchar_t)), entry->FileAttributes);
            if (entry->NextEntryOffset == 0) break;
            bytes += entry->NextEntryOffset;
        }
    }
}

}  // namespace

bool isRealDirectory(unsigned long attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

bool isStagedInstaller(std::wstring_view name, unsigned long attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & NotRegular) == 0 &&
           name.starts_with(L"Calmlane-Setup-") && name.ends_with(L".exe");
}

std::wstring updateFolder() { return folder(CSIDL_LOCAL_APPDATA) + L"\\Calmlane\\Updates"; }

void cleanupStagedUpdates() noexcept {
    try {
        // Both levels below the profile folder are held, so neither can be swapped for a link meanwhile.
        const std::wstring product = folder(CSIDL_LOCAL_APPDATA) + L"\\Calmlane";
        const UniqueHandle productFolder = openRealDirectory(product, 0);
        if (!productFolder) return;
        const std::wstring staging = updateFolder();
        const UniqueHandle stagingFolder = openRealDirectory(staging, DELETE);
        if (!stagingFolder) return;
        forEachEntry(stagingFolder.get(), [&](std::wstring_view name, unsigned long attributes) {
            if (isStagedInstaller(name, attributes)) removeStagedFile(staging + L"\\" + std::wstring(name), name);
        });
        markForDeletion(stagingFolder.get());  // refused unless empty; then removed when the handle closes
    } catch (...) {
        // Folder unavailable or out of memory: nothing staged can be found, nothing to do.
    }
}

}  // namespace calmlane
