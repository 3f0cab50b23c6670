#pragma once
// Machine-wide installation: the installer, the uninstaller, the network-mode change, and the small
// functions they and the main window share. Each operation runs in an elevated process; failures
// are fixed English messages, reported once and turned into result 1.
#include <windows.h>

#include <string>

namespace calmlane {

inline constexpr const wchar_t* LegacyServiceName = L"CalmlaneService";  // the 1.x edition
inline constexpr const wchar_t* InstalledFiles[] = {L"Calmlane.exe", L"Calmlane.scr", L"Uninstall.exe"};
inline constexpr const wchar_t* ShortcutName = L"Calmlane.lnk";
inline constexpr const wchar_t* RunKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const wchar_t* RunValue = L"CalmlaneNative";
inline constexpr const wchar_t* Publisher = L"Orvane";
// The service's event source under the Application log, with Calmlane.exe as its message file.
inline constexpr const wchar_t* EventSourceKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CalmlaneNative";
inline constexpr unsigned long PackageVersion = 100;
// The string of Calmlane.exe (resources/Calmlane.rc, in six languages) that describes the service.
inline constexpr unsigned ServiceDescriptionText = 101;
// Owner Administrators; protected DACL: SYSTEM and Administrators full control, Users read and execute.
inline constexpr const wchar_t* InstallFolderSecurity = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GRGX;;;BU)";

// The service's permissions: SYSTEM and Administrators control it; interactive users may only query its
// status and configuration, which the saver's check of the pipe's server needs. Windows' default would
// also let them send control 128 and end another user's pause.
inline constexpr const wchar_t* ServiceSecurity =
    L"D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLC;;;IU)";

// How an operation reports its failure message: by default an owner-less error box.
using FailureReport = void (*)(const char* message);
void showInstallError(const char* message);  // caption "Calmlane Native"
void showModeError(const char* message);     // caption "Calmlane"
void reportNothing(const char* message);     // unattended runs: the exit code and LastInstallError tell
// Writes the message to the machine value LastInstallError (best effort).
void recordInstallFailure(const char* message);

// Installs or updates into installDir(); 0 on success, ERROR_SUCCESS_REBOOT_REQUIRED (3010) when files
// are replaced or removed only at the next restart, 1 after a reported failure (also written to
// the machine value LastInstallError, which a success clears). COM must be initialised on the calling
// thread. `firewall` is the mode of a machine without one; with modeChosen it is recorded as chosen on a
// machine whose mode is not chosen yet, while a chosen mode always stays.
int installNative(bool firewall, const std::wstring& sourceExecutable, const std::wstring& sourceUninstaller,
                  FailureReport report = showInstallError, bool modeChosen = false);

// Removes the installation; refuses while the adapter journal holds entries. 0, 1 (the reason also in
// LastInstallError), or ERROR_SUCCESS_REBOOT_REQUIRED when files still in use go at the next restart. An
// installation folder that is a link, or that others could change, keeps what it holds: the rest is
// removed, and the run reports FolderLeftBehind with result 1.
int uninstallNative(FailureReport report = showInstallError);
inline constexpr const char* FolderLeftBehind =
    "Calmlane was removed, but its folder was left as it is: it is a link, or others can change what it holds.";

// Switches the interruption mode while the network is in its normal state. 0 or 1.
int changeNetworkMode(bool firewall, FailureReport report);

// Throws "Administrator rights required." unless the caller's token is in the Administrators group.
void requireAdministrator();

// The service ServiceName exists (false when the service manager cannot be opened).
bool serviceInstalled();

// Stops the service and waits for its process to end; throws on time-out.
void stopService(SC_HANDLE service);

// Closes every top-level window of another process whose image is an installed copy of the product
// (in installDir() or previousFolder) and waits for those processes; throws on time-out.
void closeInstalledWindows(const std::wstring& previousFolder);

// CopyFileW with overwrite, retried for 5 seconds while the target is locked.
bool copyWithRetry(const std::wstring& from, const std::wstring& to);

// Runs this program elevated with `arguments` and waits, keeping the owner's messages flowing;
// true when it exits with 0.
bool elevateAndWait(HWND owner, const std::wstring& arguments);

// Renames a file that a running process keeps (Windows lets a running image be renamed, not replaced or
// deleted) to "<name>.<unique>.delete" in its folder, and schedules its deletion at the next restart.
// False when it cannot be renamed.
bool moveAsideUntilRestart(const std::wstring& path);

// Deletes a file or an empty folder, or schedules it for the next restart when it is in use; true when
// it is left for the restart.
bool deleteOrScheduleAtRestart(const std::wstring& path, bool directory);

// One of InstalledFiles, or one of them moved aside: what an installation folder may hold.
bool isProductFileName(const std::wstring& name);

// Case-insensitive equality of two paths or names, as Windows compares file names.
bool sameText(const std::wstring& a, const std::wstring& b);

}  // namespace calmlane
