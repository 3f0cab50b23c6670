#pragma once
// Names shared by every role of the executable and by its companion programs.
#include "calmlane_version.h"

namespace calmlane {

inline constexpr const wchar_t* Product = L"Calmlane";
inline constexpr const wchar_t* Version = L"" CALMLANE_VERSION_TEXT;  // major.minor.patch
inline constexpr const wchar_t* MakerCredit = L"Calmlane team";  // the maker's mark in the saver and the about page
inline constexpr const wchar_t* ServiceName = L"CalmlaneNative";
inline constexpr const wchar_t* RegistryPath = L"SOFTWARE\\CalmlaneNative";
inline constexpr const wchar_t* UserRegistry = L"SOFTWARE\\CalmlaneNative";
inline constexpr const wchar_t* UninstallKey =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\CalmlaneNative";
// Where the service publishes its control pipe's name (HKLM RegistryPath).
inline constexpr const wchar_t* ControlPipeValue = L"ControlPipe";
inline constexpr unsigned long RestoreControl = 128;

// The setup program's switch for an update that the main window downloaded and started: installs as
// "--install-silent" does, then shows its outcome to the person waiting for it.
inline constexpr const wchar_t* InstallUpdateSwitch = L"--install-update";

// Published in HKLM "NetworkState" by the service.
enum class NetworkState : unsigned long { Ready = 0, Blocked = 1, Restoring = 2, Failed = 3 };

}  // namespace calmlane
