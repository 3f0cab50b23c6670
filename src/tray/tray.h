#pragma once
// The tray companion: a shield in the notification area, its menu and its balloons.
#include <windows.h>

#include "configuration/saver_operation.h"
#include "update/update_check.h"

namespace calmlane {

inline constexpr UINT TrayCallback = WM_APP + 1;
inline constexpr UINT TrayUpdateChecked = WM_APP + 2;
inline constexpr const wchar_t* TrayWindowClass = L"Calmlane.Native.Tray";
inline constexpr const wchar_t* TrayMutex = L"Local\\Calmlane.Native.Tray";

int runTray();

// The shield of size x size pixels in one colour (COLORREF), with a transparent surround; null when
// GDI fails.
HICON drawShieldIcon(unsigned long colour, int size);
// The small-icon size the taskbar uses at dpi.
int trayIconSize(UINT dpi);

// Exposed for the tests, which run the window procedure on their own hidden window.
LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Fills the icon record for window and adds the icon; false when the shell did not take it.
bool addTrayIcon(HWND window);
void update(bool force);
void notifyUpdate(const UpdateInfo& info);
void startSaverAction(HWND window, SaverAction action);

}  // namespace calmlane
