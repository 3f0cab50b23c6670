#include "install/folder_validation.h"

#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "install/folder_security.h"
#include "install/installer.h"

namespace calmlane {

namespace {

[[noreturn]] void refuse(const char* message) { throw std::runtime_error(message); }

// Rule 1: the text as typed: "X:\..." of 4 to 239 characters, no wildcard, quote or pipe, no second colon.
void checkForm(const std::wstring& requested) {
    constexpr const char* Message = "Choose an absolute local installation folder, not a drive root.";
    if (requested.size() < 4 || requested.size() > 239) refuse(Message);
    if (requested[1] != L':' || requested[2] != L'\\') refuse(Message);
    if (requested.find_first_of(L"\"*<>?|") != std::wstring::npos) refuse(Message);
    if (requested.find(L':', 2) != std::wstring::npos) refuse(Message);
}

// Rule 2.
std::wstring fullPath(const std::wstring& requested) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFullPathNameW(requested.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    if (length == 0 || length >= buffer.size()) refuse("Invalid installation folder.");
    return std::wstring(buffer.data(), length);
}

// Rule 3: no drive root, however it is written; trailing backslashes go.
void stripToFolder(std::wstring& path) {
    constexpr const char* Message = "A drive root cannot be an installation folder.";
    if (path.size() < 4) refuse(Message);
    while (!path.empty() && path.back() == L'\\') {
        path.pop_back();
        if (path.size() <= 3) refuse(Message);
    }
}

// Rule 4.
void checkDriveType(const std::wstring& path) {
    if (GetDriveTypeW(path.substr(0, 3).c_str()) != DRIVE_FIXED) refuse("Choose a local fixed disk.");
}

std::wstring machineInstallPath() {
    std::wstring path;
    if (!readString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", path)) path.clear();
    return path;
}

// Rule 5: an existing installation stays where it is, apart from the one move out of the old default folder.
void checkExistingInstallation(const std::wstring& path) {
    if (!serviceInstalled()) return;
    const std::wstring installed = machineInstallPath();
    const std::wstring programFiles = folder(CSIDL_PROGRAM_FILES);
    const bool legacyMove = !installed.empty() && sameText(installed, programFiles + L"\\CalmlaneNative") &&
                            sameText(path, programFiles + L"\\Calmlane");
    if (!sameText(path, installDir()) && !legacyMove) {
        refuse("To change the folder of an existing installation, uninstall Calmlane first, then run Setup again.");
    }
}

// The folder one level up; a drive root ("X:\") is its own parent.
std::wstring parentOf(const std::wstring& path) {
    const std::size_t slash = path.find_last_of(L'\\');
    if (slash == std::wstring::npos) return std::wstring();
    if (slash <= 2) return path.substr(0, 3);
    return path.substr(0, slash);
}

bool isRoot(const std::wstring& path) { return path.size() == 3 && path[1] == L':' && path[2] == L'\\'; }

// Rule 6.
void checkParentExists(const std::wstring& parent) {
    std::error_code error;
    if (!std::filesystem::is_directory(parent, error)) refuse("The parent folder must already exist.");
}

// Rule 8: no folder from the parent up to the root may be a link, or let anyone but SYSTEM, Administrators
// and TrustedInstaller delete or rename what it holds, change its permissions or take it over. Judged
// from the folders' own descriptors, not from what the caller happens to hold: run as SYSTEM by a fleet
// tool, the caller holds rights that no other user has.
bool protectedAncestry(const std::wstring& parent) {
    std::wstring current = parent;
    for (;;) {
        if (current.empty()) return true;
        const DWORD attributes = folder_security::attributes(current);
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
        const UniqueLocal descriptor = folder_security::descriptor(current);
        // A drive root is not blamed for DELETE: a root cannot be deleted.
        if (!descriptorTrusted(descriptor.get(), AncestorRights | (isRoot(current) ? 0 : DELETE))) return false;
        const std::wstring next = parentOf(current);
        if (next == current) return true;
        current = next;
    }
}

// Only the files an installation consists of (or moved aside), so that an install that failed half-way
// can be repeated.
// False also when the folder cannot be listed: the refusal then carries the rule's own message.
bool holdsOnlyProductFiles(const std::wstring& path) {
    std::error_code error;
    std::filesystem::directory_iterator entries(path, error);
    for (; !error && entries != std::filesystem::directory_iterator(); entries.increment(error)) {
        std::error_code typeError;
        if (!isProductFileName(entries->path().filename().wstring()) || !entries->is_regular_file(typeError)) {
            return false;
        }
    }
    return !error;
}

// Rule 9: an existing folder is no link, belongs to a trusted owner that alone may change it, and holds
// nothing but the product's files unless it is the installation being updated.
void checkFolderItself(const std::wstring& path) {
    if (!std::filesystem::exists(std::filesystem::symlink_status(path))) return;
    const DWORD attributes = folder_security::attributes(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        refuse("Linked folders are not supported.");
    }
    const UniqueLocal descriptor = folder_security::descriptor(path);
    if (!descriptor) refuse("Cannot verify installation folder permissions.");
    if (!descriptorTrusted(descriptor.get(), FolderRights)) refuse(UnprotectedFolder);
    if (serviceInstalled()) return;
    if (!holdsOnlyProductFiles(path)) refuse("Choose an empty folder dedicated to Calmlane.");
}

}  // namespace

bool existingFolderTrusted(const std::wstring& path, HANDLE opened) {
    const UniqueLocal descriptor = folder_security::descriptor(path, opened);
    return descriptorTrusted(descriptor.get(), FolderRights);
}

std::wstring validateInstallDirectory(const std::wstring& requested) {
    checkForm(requested);
    std::wstring path = fullPath(requested);
    stripToFolder(path);
    checkDriveType(path);
    checkExistingInstallation(path);
    const std::wstring parent = parentOf(path);
    checkParentExists(parent);
    if (!protectedAncestry(parent)) refuse(UnprotectedFolder);
    checkFolderItself(path);
    return path;
}

}  // namespace calmlane
