#pragma once
// Shared by the installation tests: a clean machine before and after each test, and the folder table
// of the folder-security double.
#include <windows.h>

#include <string>
#include <vector>

namespace calmlane::test {

// Read and execute: what Users hold on a protected folder such as Program Files.
inline constexpr DWORD ReadExecute = 0x1200A9;
// Full control: what a user holds on a folder in their own profile.
inline constexpr DWORD FullControl = 0x1F01FF;

std::wstring programFiles();
std::wstring defaultInstallFolder();  // ...\Program Files\Calmlane
std::wstring shortcutPath();

// Removes every trace an installation leaves (both services, files and folders, shortcut, keys) and
// the double's store; used in set-up and tear-down.
void cleanMachine();

// Marks folders for the double: a directory that a standard user may read and execute only.
void protectFolders(const std::vector<std::wstring>& folders, DWORD rights = ReadExecute);
void setFolderFacts(const std::wstring& folder, DWORD attributes, DWORD rights);

// A service of that name that nothing starts (its program does not exist).
void createDormantService(const wchar_t* name);
void deleteServiceNamed(const wchar_t* name);
DWORD serviceState(const wchar_t* name);  // 0 when absent
bool waitForServiceState(const wchar_t* name, DWORD state, DWORD timeoutMs);

bool fileExists(const std::wstring& path);
void writeFile(const std::wstring& path, const char* content = "x");
std::wstring regString(HKEY root, const wchar_t* key, const wchar_t* name);  // "<missing>" when absent

}  // namespace calmlane::test
