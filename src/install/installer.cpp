// installNative: the machine-wide installation or update, one function per step.
#include "install/installer.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>
#include <shlobj.h>

#include <cwchar>
#include <stdexcept>

#include "app/console.h"
#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "configuration/saver_selection.h"
#include "install/folder_security.h"
#include "install/folder_validation.h"
#include "install/install_log.h"
#include "install/install_steps.h"
#include "update/version.h"
#include "update/web_services.h"

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

// The refusal that ends the run with Windows Installer's code for it, 1638, rather than the general 1.
struct DowngradeRefused : std::runtime_error {
    DowngradeRefused()
        : std::runtime_error("A newer version of Calmlane is installed. Uninstall it first to install this one.") {}
};

// A newer version stays installed: going back to this one means uninstalling that one first.
void refuseDowngrade() {
    std::wstring installed;
    if (readString(HKEY_LOCAL_MACHINE, UninstallKey, L"DisplayVersion", installed) &&
        isNewerVersion(Version, installed)) {
        throw DowngradeRefused();
    }
}

std::wstring previousInstallPath() {
    std::wstring path;
    if (!readString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", path)) path.clear();
    return path;
}

// The installation folder, created with its protected descriptor in one step (nobody can hold a handle
// to it from before), or an existing one that only trusted principals own and may change. It is opened
// without following links and held without delete sharing until the install ends, so it cannot be
// renamed or replaced meanwhile, and it is secured through that handle.
UniqueHandle lockFolder(const std::wstring& target) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(InstallFolderSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        throw std::runtime_error("Cannot prepare folder permissions.");
    }
    UniqueLocal owned(descriptor);
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    const bool created = CreateDirectoryW(target.c_str(), &security) != FALSE;
    if (!created && GetLastError() != ERROR_ALREADY_EXISTS) {
        throw std::runtime_error("Cannot create the installation folder.");
    }
    UniqueHandle folder(CreateFileW(target.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_LIST_DIRECTORY,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION information = {};
    if (!folder || !GetFileInformationByHandle(folder.get(), &information)) {
        throw std::runtime_error("Cannot secure installation folder.");
    }
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        throw std::runtime_error("Linked folders are not supported.");
    }
    // Made by someone else between the folder check and now: judged again, from the open folder.
    if (!created && !existingFolderTrusted(target, folder.get())) throw std::runtime_error(UnprotectedFolder);
    if (folder_security::secure(target, folder.get(), descriptor) != ERROR_SUCCESS) {
        throw std::runtime_error("Cannot secure installation folder.");
    }
    return folder;
}

// Copies over an installed file. One that a process of another session keeps running (a tray: the Run
// value starts one per session, and closeInstalledWindows sees only this session's windows) is moved
// aside first and goes at the next restart.
bool replaceFile(const std::wstring& from, const std::wstring& to, bool& restart) {
    if (copyWithRetry(from, to)) return true;
    if (GetFileAttributesW(to.c_str()) == INVALID_FILE_ATTRIBUTES || !moveAsideUntilRestart(to)) return false;
    restart = true;
    return copyWithRetry(from, to);
}

void copyFiles(const std::wstring& target, const std::wstring& sourceExecutable, const std::wstring& sourceUninstaller,
               bool& restart) {
    const std::wstring executable = target + L"\\Calmlane.exe";
    install_step::reached(L"copy Calmlane.exe");
    if (!sameText(sourceExecutable, executable) && !replaceFile(sourceExecutable, executable, restart)) {
        throw std::runtime_error("Cannot update Calmlane.exe. Close its other windows first.");
    }
    install_step::reached(L"copy Calmlane.scr");
    if (!replaceFile(sourceExecutable, target + L"\\Calmlane.scr", restart)) {
        throw std::runtime_error("Cannot update the screen saver. Close screen saver settings and previews first.");
    }
    install_step::reached(L"copy Uninstall.exe");
    if (!replaceFile(sourceUninstaller, target + L"\\Uninstall.exe", restart)) {
        throw std::runtime_error("Cannot install the uninstaller.");
    }
}

// An update keeps the user's mode; a first install records the argument as not chosen explicitly, unless
// it was chosen (a fleet install's --mode), which also settles a machine whose mode is still unchosen.
void writeMachineValues(bool firewall, bool modeChosen, const std::wstring& target) {
    constexpr unsigned long Missing = 0xFFFFFFFF;
    const unsigned long storedFirewall = readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", Missing);
    const unsigned long storedConfigured = readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", Missing);
    const bool validFirewall = storedFirewall == 0 || storedFirewall == 1;
    if (modeChosen && !(validFirewall && storedConfigured == 1)) {
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", firewall ? 1 : 0);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    } else {
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", validFirewall ? storedFirewall : (firewall ? 1 : 0));
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured",
                   storedConfigured != Missing ? storedConfigured : (validFirewall ? 1 : 0));
    }
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
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(ServiceSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
        throw std::runtime_error("Cannot secure the service.");
    }
    const UniqueLocal owned(descriptor);
    if (!SetServiceObjectSecurity(handles.service.get(), DACL_SECURITY_INFORMATION, descriptor)) {
        throw std::runtime_error("Cannot secure the service.");
    }
    // What services.msc shows, in the reader's language: the text of the installed program's string table.
    std::wstring text = L"@" + target + L"\\Calmlane.exe,-" + std::to_wstring(ServiceDescriptionText);
    SERVICE_DESCRIPTIONW description = {text.data()};
    if (!ChangeServiceConfig2W(handles.service.get(), SERVICE_CONFIG_DESCRIPTION, &description)) {
        throw std::runtime_error("Cannot describe the service.");
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

// The installed files' size in KB, as the Apps list shows it; a file that cannot be read counts 0.
unsigned long installedKilobytes(const std::wstring& target) {
    unsigned long long bytes = 0;
    for (const wchar_t* name : InstalledFiles) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (GetFileAttributesExW((target + L"\\" + name).c_str(), GetFileExInfoStandard, &data)) {
            bytes += (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
        }
    }
    return static_cast<unsigned long>((bytes + 1023) / 1024);
}

std::wstring today() {
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    wchar_t text[16] = {};
    swprintf(text, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    return text;
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
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"URLInfoAbout", DownloadPage);
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"InstallDate", today());
    writeDword(HKEY_LOCAL_MACHINE, UninstallKey, L"EstimatedSize", installedKilobytes(target));
    writeDword(HKEY_LOCAL_MACHINE, UninstallKey, L"NoModify", 1);
    writeDword(HKEY_LOCAL_MACHINE, UninstallKey, L"NoRepair", 1);
}

// The service's lines in Event Viewer: Calmlane.exe's message table prints each as it is.
void registerEventSource(const std::wstring& target) {
    const std::wstring file = target + L"\\Calmlane.exe";
    UniqueKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS ||
        RegSetValueExW(key.get(), L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(file.c_str()),
                       static_cast<DWORD>((file.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
        throw std::runtime_error("Cannot register the event source.");
    }
    writeDword(HKEY_LOCAL_MACHINE, EventSourceKey, L"TypesSupported",
               EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE);
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

// The move out of the 1.1 default folder "...\Program Files\CalmlaneNative"; errors are ignored.
void removeOldDefaultFolder(const std::wstring& previous, const std::wstring& target, bool& restart) {
    try {
        if (previous.empty() || sameText(previous, target) ||
            !sameText(previous, folder(CSIDL_PROGRAM_FILES) + L"\\CalmlaneNative")) {
            return;
        }
        for (const wchar_t* name : InstalledFiles) {
            restart = deleteOrScheduleAtRestart(previous + L"\\" + name, false) || restart;
        }
        restart = deleteOrScheduleAtRestart(previous, true) || restart;
    } catch (...) {
    }
}

}  // namespace

void recordInstallFailure(const char* message) {
    install_log::fail(message);
    try {
        writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError", widened(message));
    } catch (...) {
        // The caller still reports it.
    }
}

int installNative(bool firewall, const std::wstring& sourceExecutable, const std::wstring& sourceUninstaller,
                  FailureReport report, bool modeChosen) {
    ServiceHandles handles;
    try {
        requireAdministrator();
        handles.manager = openManager();
        refuseLegacyEdition(handles.manager.get());
        refuseDowngrade();
        const std::wstring previous = previousInstallPath();
        const std::wstring target = installDir();
        bool restart = false;
        install_step::reached(L"folder");
        const UniqueHandle folder = lockFolder(target);
        install_step::reached(L"stop service");
        handles.service.reset(OpenServiceW(handles.manager.get(), ServiceName, SERVICE_ALL_ACCESS));
        if (handles.service) stopService(handles.service.get());
        install_step::reached(L"close windows");
        closeInstalledWindows(previous);
        copyFiles(target, sourceExecutable, sourceUninstaller, restart);
        install_step::reached(L"machine values");
        writeMachineValues(firewall, modeChosen, target);
        install_step::reached(L"service");
        configureService(handles, target);
        install_step::reached(L"start service");
        startAndWait(handles.service.get());
        install_step::reached(L"apps entry");
        writeAppsEntry(target);
        registerEventSource(target);
        install_step::reached(L"logon start");
        writeLogonStart(target);
        install_step::reached(L"shortcut");
        createShortcut(target);
        install_step::reached(L"package version");
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"PackageVersion", PackageVersion);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError");  // the last failure is over
        removeOldDefaultFolder(previous, target, restart);
        return restart ? ERROR_SUCCESS_REBOOT_REQUIRED : 0;
    } catch (const std::exception& e) {
        recordInstallFailure(e.what());
        handles.service.reset();
        handles.manager.reset();
        report(e.what());
        return dynamic_cast<const DowngradeRefused*>(&e) != nullptr ? ERROR_PRODUCT_VERSION : 1;
    }
}

}  // namespace calmlane
