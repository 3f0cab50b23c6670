#include "install/install_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <filesystem>
#include <set>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "support/process.h"
#include "support/registry_scratch.h"

namespace calmlane::test {

std::wstring programFiles() { return folder(CSIDL_PROGRAM_FILES); }
std::wstring defaultInstallFolder() { return programFiles() + L"\\Calmlane"; }
std::wstring built(const wchar_t* name) { return binFolder() + L"\\" + name; }
std::wstring shortcutPath() { return folder(CSIDL_COMMON_PROGRAMS) + L"\\Calmlane.lnk"; }

void cleanMachine() {
    installDirectoryOverride.clear();
    deleteServiceNamed(ServiceName);
    deleteServiceNamed(LegacyServiceName);
    std::error_code ignored;
    std::filesystem::remove_all(defaultInstallFolder(), ignored);
    std::filesystem::remove_all(programFiles() + L"\\CalmlaneNative", ignored);
    DeleteFileW(shortcutPath().c_str());
    UniqueKey run;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, RunKey, 0, KEY_SET_VALUE, run.put()) == ERROR_SUCCESS) {
        RegDeleteValueW(run.get(), RunValue);
    }
    deleteTree(HKEY_LOCAL_MACHINE, UninstallKey);
    deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey);
    RegistryScratch::wipe();
}

void setFolderFacts(const std::wstring& path, DWORD attributes, const wchar_t* sddl) {
    const std::wstring store = doubles::StoreKey;
    setRawValue(HKEY_LOCAL_MACHINE, (store + L"\\FolderAttributes").c_str(), path.c_str(), REG_DWORD, &attributes,
                sizeof(attributes));
    writeString(HKEY_LOCAL_MACHINE, (store + L"\\FolderSecurity").c_str(), path.c_str(), sddl);
}

void protectFolders(const std::vector<std::wstring>& folders, const wchar_t* sddl) {
    for (const std::wstring& path : folders) setFolderFacts(path, FILE_ATTRIBUTE_DIRECTORY, sddl);
}

void protectSystemFolders() {
    protectFolders({programFiles()});
    protectFolders({L"C:\\"}, RootSddl);
}

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void writeFile(const std::wstring& path, const char* content) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), content, static_cast<DWORD>(strlen(content)), &written, nullptr)) {
        ADD_FAILURE_AT(__FILE__, __LINE__) << "cannot write a test file";
    }
}

std::wstring regString(HKEY root, const wchar_t* key, const wchar_t* name) {
    std::wstring value;
    return readString(root, key, name, value) ? value : L"<missing>";
}

std::wstring rawString(HKEY root, const wchar_t* key, const wchar_t* name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!readRawValue(root, key, name, type, data)) return {};
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
}

std::wstring widen(const char* ascii) { return std::wstring(ascii, ascii + strlen(ascii)); }
std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

namespace {

// "ok" when the value reads `expected`, "-" when it is absent, else the value.
std::string verdict(HKEY root, const wchar_t* key, const wchar_t* name, const std::wstring& expected) {
    const std::wstring value = regString(root, key, name);
    return value == expected ? "ok" : value == L"<missing>" ? "-" : narrow(value);
}

}  // namespace

std::string installState(const std::wstring& target) {
    const DWORD service = serviceState(ServiceName);
    std::string state = "service=" + (service == SERVICE_RUNNING ? "running" : service ? std::to_string(service) : "-");
    state += " run=" + verdict(HKEY_LOCAL_MACHINE, RunKey, RunValue, quoted(target + L"\\Calmlane.exe") + L" --tray");
    const std::wstring uninstaller = quoted(target + L"\\Uninstall.exe") + L" --uninstall";
    std::string apps = verdict(HKEY_LOCAL_MACHINE, UninstallKey, L"UninstallString", uninstaller);
    for (const auto& [name, expected] : {std::pair{L"QuietUninstallString", uninstaller + L" --quiet"},
                                        {L"DisplayIcon", target + L"\\Calmlane.exe"}, {L"InstallLocation", target}}) {
        const std::string found = verdict(HKEY_LOCAL_MACHINE, UninstallKey, name, expected);
        if (apps == "ok" && found != "ok") apps = narrow(name) + ":" + found;
    }
    const std::wstring messages = target + L"\\Calmlane.exe";  // the event source's message file
    const std::string events = verdict(HKEY_LOCAL_MACHINE, EventSourceKey, L"EventMessageFile", messages);
    if (apps == "ok" && events != "ok") apps = "EventMessageFile:" + events;
    state += " apps=" + apps + " shortcut=" + std::to_string(fileExists(shortcutPath()));
    state += " path=" + verdict(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", target) + " folder=";
    std::error_code error;
    if (!std::filesystem::is_directory(target, error)) return state + "-";
    std::set<std::string> entries;  // sorted
    for (std::filesystem::directory_iterator it(target, error), end; !error && it != end; it.increment(error)) {
        entries.insert(it->path().filename().string());
    }
    for (const std::string& entry : entries) state += entry + (entry == *entries.rbegin() ? "" : ",");
    return state;
}

std::string modeState() {
    std::string state;
    for (const auto& [label, name] : {std::pair{"firewall=", L"Firewall"}, {" configured=", L"ModeConfigured"}}) {
        const DWORD value = readDword(HKEY_LOCAL_MACHINE, RegistryPath, name, 99);
        state += label + (value == 99 ? "-" : std::to_string(value));
    }
    return state;
}

}  // namespace calmlane::test
