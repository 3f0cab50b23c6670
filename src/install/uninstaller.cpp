// uninstallNative and changeNetworkMode: the two other elevated machine-wide operations.
#include <windows.h>
#include <shlobj.h>

#include <stdexcept>

#include "app/constants.h"
#include "app/handles.h"
#include "app/roles.h"
#include "app/settings.h"
#include "install/installer.h"
#include "service/adapters.h"

namespace calmlane {

namespace {

// The journal entries that the service's release can give back and clear: REG_SZ values of at least
// 2 bytes, read as savedDevices() reads them. A stray value of another type is never cleared by
// anyone, so it must not block the uninstall for good.
bool adaptersAwaitRecovery() { return !savedDevices().empty(); }

void deleteInstalledFile(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    for (int attempt = 1; !DeleteFileW(path.c_str()); ++attempt) {
        if (attempt == 50) throw std::runtime_error("File is in use. Close screen saver previews and retry uninstall.");
        Sleep(100);
    }
}

void deleteKeyTree(const wchar_t* subkey) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, subkey);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, subkey);
}

void removeRegistration() {
    deleteKeyTree(UninstallKey);
    UniqueKey run;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RunKey, 0, KEY_SET_VALUE, run.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(run.get(), RunValue);
    }
    deleteKeyTree(RegistryPath);
}

}  // namespace

int uninstallNative(FailureReport report) {
    UniqueServiceHandle manager, service;
    try {
        requireAdministrator();
        manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        if (!manager) throw std::runtime_error("Service manager unavailable.");
        service.reset(OpenServiceW(manager.get(), ServiceName, SERVICE_ALL_ACCESS));
        if (service) stopService(service.get());
        std::wstring installPath;
        if (!readString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", installPath)) installPath.clear();
        closeInstalledWindows(installPath);
        if (adaptersAwaitRecovery()) {
            // The service gives the adapters back when it runs again.
            if (service) StartServiceW(service.get(), 0, nullptr);
            throw std::runtime_error("Some adapters still need recovery. Restart Windows before uninstalling.");
        }
        const std::wstring target = installDir();
        for (const wchar_t* name : InstalledFiles) deleteInstalledFile(target + L"\\" + name);
        RemoveDirectoryW(target.c_str());  // kept when it holds other files
        try {
            DeleteFileW((folder(CSIDL_COMMON_PROGRAMS) + L"\\" + ShortcutName).c_str());
        } catch (const std::exception&) {
            // No shortcut folder, so no shortcut to remove.
        }
        if (service) {
            if (!DeleteService(service.get())) throw std::runtime_error("Cannot remove service.");
            service.reset();
        }
        removeRegistration();
        return 0;
    } catch (const std::exception& e) {
        service.reset();
        manager.reset();
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

int changeNetworkMode(bool firewall) { return changeNetworkMode(firewall, showModeError); }

}  // namespace calmlane
