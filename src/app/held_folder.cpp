#include "app/held_folder.h"

#include <winternl.h>

#include <vector>

namespace calmlane {

namespace {

// ntdll is in every process from its start: taken from there, it adds no import that could be planted.
template <typename Function>
Function fromNtdll(const char* name) {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll == nullptr ? nullptr
                            : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(ntdll, name)));
}

bool samePath(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

std::wstring withoutPrefix(std::wstring path) {
    if (path.size() >= 7 && path.rfind(L"\\\\?\\", 0) == 0 && path[5] == L':') path.erase(0, 4);
    return path;
}

std::wstring joined(const std::wstring& folder, const std::wstring& name) {
    return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

std::wstring folderPart(const std::wstring& path) { return path.substr(0, path.find_last_of(L'\\') + 1); }

// One name: no separator, no stream, not "." or "..".
bool plainName(const std::wstring& name) {
    return !name.empty() && name.size() < 32767 && name != L"." && name != L".." &&
           name.find_first_of(L"\\/:") == std::wstring::npos;
}

// What `handle` is open on is no reparse point, is of `kind`, and is `expected` by its final path. An 8.3
// alias for the last name is replaced by the long name there: then only the folder part must agree.
bool isExpected(HANDLE handle, Entry kind, const std::wstring& expected, bool aliasAllowed) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(handle, &information)) return false;
    const DWORD attributes = information.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != (kind == Entry::Folder)) {
        return false;
    }
    const std::wstring found = finalPath(handle);
    if (found.empty()) return false;
    if (samePath(found, expected)) return true;
    const bool alias = expected.find(L'~', expected.find_last_of(L'\\')) != std::wstring::npos;
    return aliasAllowed && alias && samePath(folderPart(found), folderPart(expected));
}

UniqueHandle openName(HANDLE folder, const std::wstring& name, Entry kind, DWORD access, DWORD share,
                      Disposition disposition, bool aliasAllowed) {
    using Create = decltype(&NtCreateFile);
    using ToError = decltype(&RtlNtStatusToDosError);
    static const Create create = fromNtdll<Create>("NtCreateFile");
    static const ToError toError = fromNtdll<ToError>("RtlNtStatusToDosError");
    if (create == nullptr || toError == nullptr) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return {};
    }
    if (!plainName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return {};
    }
    const std::wstring parent = finalPath(folder);
    if (parent.empty()) return {};
    UNICODE_STRING text{};
    text.Buffer = const_cast<wchar_t*>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES object{};
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK status{};
    HANDLE raw = nullptr;
    const ULONG options = FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT |
                          (kind == Entry::Folder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE);
    const NTSTATUS result = create(&raw, access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, &object, &status, nullptr,
                                   FILE_ATTRIBUTE_NORMAL, share, static_cast<ULONG>(disposition), options, nullptr, 0);
    if (result < 0) {
        SetLastError(toError(result));
        return {};
    }
    UniqueHandle opened(raw);
    if (!isExpected(opened.get(), kind, joined(parent, name), aliasAllowed)) {
        SetLastError(ERROR_CANT_RESOLVE_FILENAME);
        return {};
    }
    return opened;
}

}  // namespace

UniqueHandle openBelow(HANDLE folder, const std::wstring& name, Entry kind, DWORD access, DWORD share,
                       Disposition disposition) {
    return openName(folder, name, kind, access, share, disposition, false);
}

UniqueHandle openFolder(const std::wstring& path, DWORD access, DWORD share) {
    UniqueHandle folder(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE, share, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!folder) return {};
    // The path as Windows spells it in a final path: long names, no "\\?\", no trailing separator.
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetLongPathNameW(path.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    const bool found = length > 0 && length < buffer.size();
    std::wstring expected = withoutPrefix(found ? std::wstring(buffer.data(), length) : path);
    while (expected.size() > 3 && expected.back() == L'\\') expected.pop_back();
    if (!isExpected(folder.get(), Entry::Folder, expected, false)) {
        SetLastError(ERROR_CANT_RESOLVE_FILENAME);
        return {};
    }
    return folder;
}

UniqueHandle openWithoutLinks(const std::wstring& path, Entry kind, DWORD access) {
    // "." and ".." go first, as text only.
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size()) return {};
    const std::wstring full = withoutPrefix(std::wstring(buffer.data(), length));
    if (full.size() < 4 || full[1] != L':' || full[2] != L'\\') return {};
    UniqueHandle current(CreateFileW((L"\\\\?\\" + full.substr(0, 3)).c_str(), FILE_TRAVERSE | FILE_READ_ATTRIBUTES,
                                     ShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    for (std::size_t start = 3; current && start < full.size();) {
        const std::size_t end = std::min(full.find(L'\\', start), full.size());
        const bool last = end >= full.size() - 1;
        current = openName(current.get(), full.substr(start, end - start), last ? kind : Entry::Folder,
                           last ? access : FILE_TRAVERSE, ShareAll, Disposition::Open, true);
        start = end + 1;
    }
    return current;
}

std::wstring finalPath(HANDLE handle) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= buffer.size()) return {};
    return withoutPrefix(std::wstring(buffer.data(), length));
}

bool sameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION first{}, second{};
    return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

bool deleteThrough(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

void forEachEntry(HANDLE folder, const std::function<void(std::wstring_view name, DWORD attributes)>& visit) {
    std::vector<unsigned long long> buffer(8192);  // 64 KiB, 8-byte aligned
    FILE_INFO_BY_HANDLE_CLASS query = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, query, buffer.data(),
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

}  // namespace calmlane
