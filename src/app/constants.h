#pragma once
// Names shared by every role of the executable.
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
// The control pipe's name is this prefix, a dot and 32 random hexadecimal digits, drawn afresh at each start
// of the service and published in HKLM RegistryPath "ControlPipe" once the pipe exists.
inline constexpr const wchar_t* PipeName = L"\\\\.\\pipe\\Calmlane.Native.Control";
inline constexpr const wchar_t* ControlPipeValue = L"ControlPipe";
inline constexpr unsigned long RestoreControl = 128;

// Published in HKLM "NetworkState" by the service.
enum class NetworkState : unsigned long { Ready = 0, Blocked = 1, Restoring = 2, Failed = 3 };

}  // namespace calmlane
