// uninstallNative and changeNetworkMode: the two other elevated machine-wide operations.
#include <windows.h>
#include <shlobj.h>

#include <stdexcept>
#include <string_view>
#include <vector>

#include "app/constants.h"
#include "app/handles.h"
#include "app/held_folder.h"
#include "app/local_path.h"
#include "app/settings.h"
#include "configuration/saver_selection.h"
#include "install/folder_validation.h"
#include "install/install_steps.h"
#include "install/installer.h"
#include "service/journal.h"

namespace calmlane {

namespace {

// The journal entries that the service's release can give back and clear: REG_SZ values of at least
// 2 bytes, read as savedDevices() reads them. A stray value of another type is never cleared by
// anyone, so it must not block the uninstall for good.
bool adaptersAwaitRecovery() { return !savedDevices().empty(); }

// Deletes one of the product's files through its own handle, opened by name in the held folder; what is
// no plain file there (a link) is left alone. One that a process of another session still runs is moved
// aside and goes at the next restart: a rename by path, safe in a folder that only trusted principals
// can change and that is held.
void deleteInstalledFile(HANDLE folder, const wchar_t* name, bool& restart) {
    for (int attempt = 1;; ++attempt) {
        {
            const UniqueHandle file = openBelow(folder, name, Entry::File, DELETE, ShareAll);
            const DWORD error = GetLastError();
            if (file ? deleteThrough(file.get()) : error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) {
                return;
            }
        }
        if (attempt == 50) {
            if (!moveAsideUntilRestart(finalPath(folder) + L"\\" + name)) {
                throw std::runtime_error("File is in use. Close screen saver previews and retry uninstall.");
            }
            restart = true;
            return;
        }
        Sleep(100);
    }
}

// The folder, once it holds nothing but files moved aside by this or an earlier run: those that are free
// by now go at once; if some are still held, the folder goes at the next restart after them. A folder
// with other files stays.
void removeFolder(HANDLE folder, bool& restart) {
    std::vector<std::wstring> names;
    forEachEntry(folder, [&](std::wstring_view name, DWORD) {
        if (name != L"." && name != L"..") names.emplace_back(name);
    });
    bool onlyMovedAside = true;
    for (const std::wstring& name : names) {
        if (!isProductFileName(name)) {
            onlyMovedAside = false;
        } else if (const UniqueHandle file = openBelow(folder, name, Entry::File, DELETE, ShareAll)) {
            deleteThrough(file.get());  // still held: already scheduled when it was moved aside
        }
    }
    if (deleteThrough(folder) || !onlyMovedAside) return;  // goes when the handle closes; refused unless empty
    if (MoveFileExW(finalPath(folder).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) restart = true;
}

// The installation folder, when it is really the one the installer made: opened without following a link,
// no reparse point, at the installation path itself, and owned and changeable by SYSTEM, Administrators and
// TrustedInstaller only (the setup's own verdict). Held without delete sharing while its files go, so that
// it cannot be swapped meanwhile. Null when it is missing, or refused: then `refused` is set.
UniqueHandle holdInstallation(const std::wstring& target, bool& refused) {
    UniqueHandle folder = openFolder(target, FILE_LIST_DIRECTORY | READ_CONTROL | DELETE, ShareNoDelete);
    const DWORD error = GetLastError();
    refused = folder ? !existingFolderTrusted(target, folder.get())
                     : error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    if (refused) folder.reset();
    return folder;
}

void deleteKeyTree(const wchar_t* subkey) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, subkey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, subkey);
}

// What starts the product: the Apps-list entry, the all-users Run value and the Start-menu shortcut; and
// the event source, whose message file is about to go.
void removeEntryPoints() {
    deleteKeyTree(UninstallKey);
    deleteKeyTree(EventSourceKey);
    UniqueKey run;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RunKey, 0, KEY_SET_VALUE, run.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(run.get(), RunValue);
    }
    try {
        DeleteFileW((folder(CSIDL_COMMON_PROGRAMS) + L"\\" + ShortcutName).c_str());
    } catch (const std::exception&) {
        // No shortcut folder, so no shortcut to remove.
    }
}

// A saver file named in a user's hive, opened as it is: a drive-letter path on a fixed disk without
// environment variables (they would be the uninstaller's own), and no link anywhere along it, so that the
// uninstaller, run as an administrator or as SYSTEM, is sent neither to a host (which would have it sign
// in) nor to another file. Null otherwise.
UniqueHandle openUserFile(std::wstring path) {
    const wchar_t* const trimmed = L"\t \"";
    const std::size_t first = path.find_first_not_of(trimmed);
    if (first == std::wstring::npos) return {};
    path = path.substr(first, path.find_last_not_of(trimmed) - first + 1);
    if (path.find(L'%') != std::wstring::npos || !onFixedDisk(path)) return {};
    return openWithoutLinks(path, Entry::File, 0);
}

// The saver a user had before the product's, from their hive: kept when it still names a saver file
// other than the product's, else empty, as deactivateSaver decides.
std::wstring rememberedSaver(HKEY user) {
    std::wstring previous;
    if (!readString(user, RegistryPath, L"PreviousSaver", previous)) return std::wstring();
    const UniqueHandle file = openUserFile(previous);
    previous = file ? finalPath(file.get()) : std::wstring();
    return isCalmlanePath(previous) ? std::wstring() : previous;
}

// Gives a loaded user hive whose saver is the installed Calmlane.scr its previous saver back, or clears
// the saver: a saver path naming a deleted file silently turns off the lock on resume. Best effort.
bool selects(HKEY user, const std::wstring& installed) {
    std::wstring selected;
    if (!readString(user, DesktopKey, L"SCRNSAVE.EXE", selected)) return false;
    const UniqueHandle file = openUserFile(selected);
    return file && sameText(finalPath(file.get()), installed);
}

void giveSaverBack(HKEY user, const std::wstring& installed) {
    if (!selects(user, installed)) return;
    const std::wstring previous = rememberedSaver(user);
    UniqueKey desktop;
    if (RegOpenKeyExW(user, DesktopKey, 0, KEY_SET_VALUE, desktop.put()) != ERROR_SUCCESS) return;
    const bool active = !previous.empty() && readDword(user, RegistryPath, L"PreviousActive", 1) != 0;
    if (previous.empty()) {
        // Should the value stay, the saver is switched off below all the same: Windows starts no saver.
        RegDeleteValueW(desktop.get(), L"SCRNSAVE.EXE");
    } else {
        writeString(user, DesktopKey, L"SCRNSAVE.EXE", previous);
    }
    writeString(user, DesktopKey, L"ScreenSaveActive", active ? L"1" : L"0");
    if (readDword(user, RegistryPath, L"PreviousSaved", 0) != 0) {
        writeString(user, DesktopKey, L"ScreenSaveTimeOut",
                    std::to_wstring(readDword(user, RegistryPath, L"PreviousTimeout", 600)));
    }
}

// The user running the uninstall through Windows' own settings (so a running session sees it at once),
// then every loaded hive, for the users of the other sessions.
void giveSaversBack() {
    const std::wstring installed = normalizeSaverPath(installDir() + L"\\Calmlane.scr");
    try {
        if (selects(HKEY_CURRENT_USER, installed)) deactivateSaver();
    } catch (const std::exception&) {
        // The registry pass below still clears it.
    }
    std::vector<wchar_t> name(256);
    for (DWORD index = 0;; ++index) {
        DWORD length = static_cast<DWORD>(name.size());
        const LSTATUS status = RegEnumKeyExW(HKEY_USERS, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) continue;
        UniqueKey user;
        if (RegOpenKeyExW(HKEY_USERS, name.data(), 0, KEY_READ | KEY_SET_VALUE, user.put()) != ERROR_SUCCESS) continue;
        try {
            giveSaverBack(user.get(), installed);
        } catch (const std::exception&) {
            // A hive that cannot be written keeps its choice; the others still get theirs back.
        }
    }
}

}  // namespace

int uninstallNative(FailureReport report) {
    UniqueServiceHandle manager, service;
    try {
        requireAdministrator();
        manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager) throw std::runtime_error("Service manager unavailable.");
        service.reset(OpenServiceW(manager.get(), ServiceName, SERVICE_ALL_ACCESS));
        install_step::reached(L"stop service");
        if (service) stopService(service.get());
        install_step::reached(L"close windows");
        std::wstring installPath;
        if (!readString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", installPath)) installPath.clear();
        closeInstalledWindows(installPath);
        if (adaptersAwaitRecovery()) {
            // The service gives the adapters back when it runs again.
            if (service) StartServiceW(service.get(), 0, nullptr);
            throw std::runtime_error("Some adapters still need recovery. Restart Windows before uninstalling.");
        }
        // Whatever runs the installed files goes first, so that an uninstall stopped half-way (a locked
        // file, a kill) leaves no LocalSystem service or logon start pointing into a folder whose files
        // are gone and which a user might create again. The machine values, InstallPath among them, go
        // last: a second run finds the folder through them.
        install_step::reached(L"delete service");
        if (service) {
            if (!DeleteService(service.get())) throw std::runtime_error("Cannot remove service.");
            service.reset();
        }
        install_step::reached(L"entry points");
        removeEntryPoints();
        install_step::reached(L"screen savers");
        giveSaversBack();
        bool restart = false, leftBehind = false;
        if (UniqueHandle folder = holdInstallation(installDir(), leftBehind)) {
            for (const wchar_t* name : InstalledFiles) {
                install_step::reached(name);
                deleteInstalledFile(folder.get(), name, restart);
            }
            install_step::reached(L"folder");
            removeFolder(folder.get(), restart);
        }
        install_step::reached(L"machine values");
        deleteKeyTree(RegistryPath);
        // Everything else is gone; what the folder holds is nobody's to delete on the product's behalf.
        if (leftBehind) throw std::runtime_error(FolderLeftBehind);
        return restart ? ERROR_SUCCESS_REBOOT_REQUIRED : 0;
    } catch (const std::exception& e) {
        service.reset();
        manager.reset();
        recordInstallFailure(e.what());  // as the setup program does; a later success removes the whole key
        report(e.what());
        return 1;
    }
}

int changeNetworkMode(bool firewall, FailureReport report) {
    try {
        requireAdministrator();
        if (!serviceInstalled()) throw std::runtime_error("Service is not installed. Run Calmlane Setup.");
        constexpr unsigned long Missing = 0xFFFFFFFF;
        // A journal entry means adapters may still be disabled: the service would discard it under
        // another mode without enabling them, so the mode stays until the network is restored.
        if (readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", Missing) !=
                static_cast<unsigned long>(NetworkState::Ready) ||
            !savedDevices().empty()) {
            throw std::runtime_error("Restore the network before changing the interruption mode.");
        }
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", firewall ? 1 : 0);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
        return 0;
    } catch (const std::exception& e) {
        report(e.what());
        return 1;
    }
}

}  // namespace calmlane
