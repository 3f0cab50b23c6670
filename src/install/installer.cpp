// installNative: the machine-wide installation or update, one function per step.
#include "install/installer.h"

#include <windows.h>
#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <filesystem>
#include <stdexcept>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "configuration/saver_selection.h"

namespace calmlane {

namespace {

struct ServiceHandles {
    UniqueServiceHandle manager;
    UniqueServiceHandle service;
};

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

UniqueServiceHandle openManager() {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) throw std::runtime_error("Service manager unavailable.");
    return manager;
}

void refuseLegacyEdition(SC_HANDLE manager) {
    UniqueServiceHandle legacy(OpenServiceW(manager, LegacyServiceName, SERVICE_QUERY_STATUS));
    if (legacy) throw std::runtime_error("Please uninstall Calmlane 1.x before installing the native edition.");
}

std::wstring previousInstallPath() {
    std::wstring path;
    if (!readString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", path)) path.clear();
    return path;
}

void secureFolder(const std::wstring& target) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(InstallFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        throw std::runtime_error("Cannot prepare folder permissions.");
    }
    UniqueLocal owned(descriptor);
    PACL dacl = nullptr;
    BOOL daclPresent = FALSE, daclDefaulted = FALSE, ownerDefaulted = FALSE;
    PSID owner = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &daclPresent, &dacl, &daclDefaulted) ||
        !GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted)) {
        throw std::runtime_error("Cannot prepare folder permissions.");
    }
    std::wstring path = target;
    const DWORD applied = SetNamedSecurityInfoW(
        path.data(), SE_FILE_OBJECT,
        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, owner, nullptr,
        dacl, nullptr);
    owned.reset();
    if (applied != ERROR_SUCCESS) throw std::runtime_error("Cannot secure installation folder.");
}

void copyFiles(const std::wstring& target, const std::wstring& sourceExecutable, const std::wstring& sourceUninstaller) {
    const std::wstring executable = target + L"\\Calmlane.exe";
    if (!sameText(sourceExecutable, executable) && !copyWithRetry(sourceExecutable, executable)) {
        throw std::runtime_error("Cannot update Calmlane.exe. Close its other windows first.");
    }
    if (!copyWithRetry(sourceExecutable, target + L"\\Calmlane.scr")) {
        throw std::runtime_error("Cannot update the screen saver. Close screen saver settings and previews first.");
    }
    if (!copyWithRetry(sourceUninstaller, target + L"\\Uninstall.exe")) {
        throw std::runtime_error("Cannot install the uninstaller.");
    }
}

// An update keeps the user's mode; a first install records the argument as not chosen explicitly.
void writeMachineValues(bool firewall, const std::wstring& target) {
    constexpr unsigned long Missing = 0xFFFFFFFF;
    const unsigned long storedFirewall = readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", Missing);
    const unsigned long storedConfigured = readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", Missing);
    const bool validFirewall = storedFirewall == 0 || storedFirewall == 1;
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", validFirewall ? storedFirewall : (firewall ? 1 : 0));
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured",
               storedConfigured != Missing ? storedConfigured : (validFirewall ? 1 : 0));
    writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", target);
    repairSelectedSaverPath();
}

void configureService(ServiceHandles& handles, const std::wstring& target) {
    const std::wstring command = quoted(target + L"\\Calmlane.exe") + L" --service";
    static const wchar_t Dependencies[] = L"BFE\0";
    if (!handles.service) {
        handles.service.reset(CreateServiceW(handles.manager.get(), ServiceName, Product, SERVICE_ALL_ACCESS,
                                             SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                             command.c_str(), nullptr, nullptr, Dependencies, nullptr, nullptr));
        if (!handles.service) throw std::runtime_error("Service creation failed.");
    }
    if (!ChangeServiceConfigW(handles.service.get(), SERVICE_NO_CHANGE, SERVICE_AUTO_START, SERVICE_NO_CHANGE,
                              command.c_str(), nullptr, nullptr, Dependencies, nullptr, nullptr, Product)) {
        throw std::runtime_error("Cannot update service configuration.");
    }
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 1000}, {SC_ACTION_RESTART, 1000}};
    SERVICE_FAILURE_ACTIONSW failure = {};
    failure.dwResetPeriod = 86400;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(handles.service.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
}

void startAndWait(SC_HANDLE service) {
    if (!StartServiceW(service, 0, nullptr) && GetLastError() != ERROR_SERVICE_ALREADY_RUNNING) {
        throw std::runtime_error("Service startup failed.");
    }
    const ULONGLONG deadline = GetTickCount64() + 15000;
    DWORD state = 0;
    for (;;) {
        SERVICE_STATUS_PROCESS status = {};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                  &needed)) {
            throw std::runtime_error("Cannot query service.");
        }
        state = status.dwCurrentState;
        if (state == SERVICE_RUNNING) return;
        if (state == SERVICE_STOPPED) throw std::runtime_error("Service failed to start.");
        if (GetTickCount64() >= deadline) break;
        Sleep(100);
    }
    throw std::runtime_error("Service startup timed out.");
}

void writeAppsEntry(const std::wstring& target) {
    const std::wstring uninstaller = quoted(target + L"\\Uninstall.exe");
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"DisplayName", Product);
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"DisplayVersion", Version);
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"Publisher", Publisher);
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"InstallLocation", target);
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"DisplayIcon", target + L"\\Calmlane.exe");
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"UninstallString", uninstaller + L" --uninstall");
    // What fleet tools run to remove the product without questions.
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"QuietUninstallString", uninstaller + L" --uninstall --quiet");
    writeDword(HKEY_LOCAL_MACHINE, UninstallKey, L"NoModify", 1);
    writeDword(HKEY_LOCAL_MACHINE, UninstallKey, L"NoRepair", 1);
}

void writeLogonStart(const std::wstring& target) {
    writeString(HKEY_LOCAL_MACHINE, RunKey, RunValue, quoted(target + L"\\Calmlane.exe") + L" --tray");
}

void createShortcut(const std::wstring& target) {
    const std::wstring executable = target + L"\\Calmlane.exe";
    const std::wstring shortcut = folder(CSIDL_COMMON_PROGRAMS) + L"\\" + ShortcutName;
    UniqueCom<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(link.put())))) {
        throw std::runtime_error("Cannot create Start menu shortcut.");
    }
    UniqueCom<IPersistFile> file;
    if (FAILED(link.get()->SetPath(executable.c_str())) ||
        FAILED(link.get()->SetWorkingDirectory(installDir().c_str())) ||
        FAILED(link.get()->SetIconLocation(executable.c_str(), 0)) ||
        FAILED(link.get()->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(file.put()))) ||
        FAILED(file.get()->Save(shortcut.c_str(), TRUE))) {
        throw std::runtime_error("Cannot save Start menu shortcut.");
    }
}

void deleteOrScheduleAtRestart(const std::wstring& path, bool directory) {
    const bool removed = directory ? RemoveDirectoryW(path.c_str()) != FALSE : DeleteFileW(path.c_str()) != FALSE;
    if (!removed && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    }
}

// The move out of the 1.1 default folder "...\Program Files\CalmlaneNative"; errors are ignored.
void removeOldDefaultFolder(const std::wstring& previous, const std::wstring& target) {
    try {
        if (previous.empty() || sameText(previous, target) ||
            !sameText(previous, folder(CSIDL_PROGRAM_FILES) + L"\\CalmlaneNative")) {
            return;
        }
        for (const wchar_t* name : InstalledFiles) deleteOrScheduleAtRestart(previous + L"\\" + name, false);
        deleteOrScheduleAtRestart(previous, true);
    } catch (...) {
    }
}

void recordFailure(const char* message) {
    std::wstring wide;
    for (const char* c = message; *c != '\0'; ++c) wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    try {
        writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError", wide);
    } catch (...) {
        // The message box still reports it.
    }
}

}  // namespace

int installNative(bool firewall, const std::wstring& sourceExecutable, const std::wstring& sourceUninstaller,
                  FailureReport report) {
    ServiceHandles handles;
    try {
        requireAdministrator();
        handles.manager = openManager();
        refuseLegacyEdition(handles.manager.get());
        const std::wstring previous = previousInstallPath();
        const std::wstring target = installDir();
        std::filesystem::create_directories(target);
        secureFolder(target);
        handles.service.reset(OpenServiceW(handles.manager.get(), ServiceName, SERVICE_ALL_ACCESS));
        if (handles.service) stopService(handles.service.get());
        closeInstalledWindows(previous);
        copyFiles(target, sourceExecutable, sourceUninstaller);
        writeMachineValues(firewall, target);
        configureService(handles, target);
        startAndWait(handles.service.get());
        writeAppsEntry(target);
        writeLogonStart(target);
        createShortcut(target);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"PackageVersion", PackageVersion);
        removeOldDefaultFolder(previous, target);
        return 0;
    } catch (const std::exception& e) {
        recordFailure(e.what());
        handles.service.reset();
        handles.manager.reset();
        report(e.what());
        return 1;
    }
}

}  // namespace calmlane
