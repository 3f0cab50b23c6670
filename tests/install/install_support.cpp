#include "install/install_support.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <filesystem>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "support/registry_scratch.h"

namespace calmlane::test {

std::wstring programFiles() { return folder(CSIDL_PROGRAM_FILES); }
std::wstring defaultInstallFolder() { return programFiles() + L"\\Calmlane"; }
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
    protectFolders({defaultInstallFolder()}, InstalledSddl);
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

void expectInstalled(const std::wstring& target) {
    EXPECT_EQ(serviceState(ServiceName), static_cast<DWORD>(SERVICE_RUNNING));
    for (const wchar_t* name : InstalledFiles) EXPECT_TRUE(fileExists(target + L"\\" + name)) << name;
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RunKey, RunValue), quoted(target + L"\\Calmlane.exe") + L" --tray");
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, UninstallKey, L"UninstallString"),
              quoted(target + L"\\Uninstall.exe") + L" --uninstall");
}

void expectNothingStartsIt() {
    EXPECT_EQ(serviceState(ServiceName), 0u);
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RunKey, RunValue), L"<missing>");
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, UninstallKey, L"UninstallString"), L"<missing>");
    EXPECT_FALSE(fileExists(shortcutPath()));
}

void expectRemoved(const std::wstring& target) {
    expectNothingStartsIt();
    EXPECT_FALSE(fileExists(target));
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath"), L"<missing>");
}

}  // namespace calmlane::test
