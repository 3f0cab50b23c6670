#pragma once
// Shared by the installation tests: a clean machine before and after each test, the folder table of the
// folder-security double, and what an installation leaves on the machine.
#include <windows.h>

#include <string>
#include <vector>

#include "install/installer.h"
#include "support/service_harness.h"

namespace calmlane::test {

// Descriptors of real Windows 10/11 folders, as SDDL (owner and DACL).
#define CALMLANE_TRUSTED_INSTALLER L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
#define CALMLANE_SOME_USER L"S-1-5-21-3623811015-3361044348-30300820-1013"
// C:\ : owned by TrustedInstaller; Authenticated Users may create folders, and modify what they create.
inline constexpr const wchar_t* RootSddl = L"O:" CALMLANE_TRUSTED_INSTALLER L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)"
                                           L"(A;OICI;0x1200a9;;;BU)(A;OICIIO;SDGXGWGR;;;AU)(A;;LC;;;AU)";
// C:\Program Files: SYSTEM and Administrators hold Modify (DELETE included) on the folder itself.
inline constexpr const wchar_t* ProgramFilesSddl =
    L"O:" CALMLANE_TRUSTED_INSTALLER L"D:PAI(A;;FA;;;" CALMLANE_TRUSTED_INSTALLER L")(A;CIIO;GA;;;"
    CALMLANE_TRUSTED_INSTALLER L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
    L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)";
// A folder a standard user made under C:\ (owner the user; Authenticated Users modify, inherited).
inline constexpr const wchar_t* UserMadeSddl =
    L"O:" CALMLANE_SOME_USER L"D:AI(A;ID;0x1301bf;;;AU)(A;OICIIOID;SDGXGWGR;;;AU)(A;OICIID;FA;;;BA)"
    L"(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)";
// The installation folder as the installer secures it.
inline constexpr const wchar_t* InstalledSddl = InstallFolderSecurity;

std::wstring programFiles();
std::wstring defaultInstallFolder();  // ...\Program Files\Calmlane
std::wstring shortcutPath();
std::wstring built(const wchar_t* name);  // a program beside the test program

// Removes every trace an installation leaves (both services, files and folders, shortcut, keys) and
// the double's store; used in set-up and tear-down.
void cleanMachine();

// Tells the folder-security double what a folder is: its attributes and its descriptor as SDDL.
void setFolderFacts(const std::wstring& folder, DWORD attributes, const wchar_t* sddl);
// Marks folders as directories with the given descriptor (by default that of Program Files).
void protectFolders(const std::vector<std::wstring>& folders, const wchar_t* sddl = ProgramFilesSddl);
// Program Files and C:\ as on Windows: what every install below them needs. The installation folder is
// described by what the installer applies to it.
void protectSystemFolders();

bool fileExists(const std::wstring& path);
void writeFile(const std::wstring& path, const char* content = "x");
std::wstring regString(HKEY root, const wchar_t* key, const wchar_t* name);  // "<missing>" when absent
// A value's raw data as UTF-16 (a REG_MULTI_SZ whole, terminators included); empty when absent.
std::wstring rawString(HKEY root, const wchar_t* key, const wchar_t* name);
std::wstring widen(const char* ascii);
std::wstring quoted(const std::wstring& path);

// Everything that starts or makes up an installation in `target`, in one line. run, apps (the Apps-list
// entry's paths and the event source's message file) and path (InstallPath) read "ok" when they name
// `target` as an installation writes them, "-" when absent, else their value; folder lists the folder's
// entries, "-" when it is missing.
std::string installState(const std::wstring& target);
inline constexpr const char* Installed =
    "service=running run=ok apps=ok shortcut=1 path=ok folder=Calmlane.exe,Calmlane.scr,Uninstall.exe";
inline constexpr const char* Removed = "service=- run=- apps=- shortcut=0 path=- folder=-";
// The machine's interruption mode: "firewall=<Firewall> configured=<ModeConfigured>", "-" when absent.
std::string modeState();

}  // namespace calmlane::test
