#pragma once
// What the tray shows for a given state, apart from the shell calls that show it. Free of <windows.h>;
// the localised texts are in tray_texts.cpp.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace calmlane {

// COLORREF values (0x00BBGGRR) of the shield.
inline constexpr unsigned long AttentionColour = 0x000B9EF5;  // RGB(245, 158, 11): an update is available
inline constexpr unsigned long SelectedColour = 0x005CAD2C;   // RGB(44, 173, 92)
inline constexpr unsigned long IdleColour = 0x009E948C;       // RGB(140, 148, 158): not the selected saver
inline constexpr unsigned long OutlineColour = 0x00FFF8F5;    // RGB(245, 248, 255)

unsigned long shieldColour(bool attention, bool selected);

// The operation's label while one runs (operationLabel not empty), otherwise the selection and update state.
// Localised, as the menu's labels: both are in tray_texts.cpp.
std::wstring trayTooltip(bool selected, bool updateAvailable, const std::wstring& operationLabel);

// Menu commands; a zero id is a separator.
enum TrayCommand : unsigned { CustomizeCommand = 1, StatusCommand = 2, EnableCommand = 3, DisableCommand = 4,
                              OperationItem = 5, OpenCommand = 6 };
struct MenuEntry {
    unsigned id;
    std::wstring label;
    bool enabled;
};
std::vector<MenuEntry> trayMenu(bool selected, const std::wstring& operationLabel);

// What the one-second tick keeps between runs.
struct TrayState {
    bool updateAvailable = false;
    bool blinkPhase = false;
    bool reported = false;  // the recovery balloon was shown for the current episode
};
struct TickInput {
    bool iconShown = true;  // the shell took the icon (NIM_ADD)
    bool serviceRunning = true;
    bool operationRunning = false;
    bool cachedAvailable = false;
    bool stateRead = false;
    unsigned long networkState = 0;
};
struct TickOutcome {
    bool exit = false;            // destroy the window: nothing left to watch
    bool addIcon = false;         // try NIM_ADD again: at logon the taskbar may not exist yet
    bool announceUpdate = false;  // the cached answer just became "available"
    bool showRecovery = false;
    bool availabilityChanged = false;  // the tooltip's update suffix changes: redraw whatever else did
};
// One refresh tick. An episode starts with a read of 3 (Failed) and lasts through reads of 2 (Restoring):
// the service's idle retry publishes 2 and then 3 on every pass while an adapter is pending. Only a read
// of 0 or 1 ends it.
TickOutcome refreshTick(TrayState& state, const TickInput& input);

// What a command chosen from the menu does. A command from a menu opened before an operation started
// is ignored; enabling before any mode was chosen opens the main window, where the mode is chosen.
// "Open Calmlane" does what the double click does, also while an operation runs.
enum class MenuAction { Nothing, OpenCustomize, ShowStatus, Enable, Disable, OpenWindow };
MenuAction menuAction(unsigned command, bool operationRunning, bool modeConfigured);

// The notification-area callback. With NOTIFYICON_VERSION_4, lParam carries the event (low word) and
// the icon id (high word), and wParam the anchor: the icon or the cursor, in signed screen coordinates.
struct TrayEvent {
    unsigned event;
    unsigned iconId;
    int x, y;
};
TrayEvent decodeTrayCallback(std::uintptr_t wParam, std::intptr_t lParam);
// What an event asks for. Version 4 reports a right click as WM_CONTEXTMENU after WM_RBUTTONUP, and
// the keyboard's Enter or Space on the icon as NIN_KEYSELECT; the older layout has only WM_RBUTTONUP.
enum class TrayReaction { None, Menu, OpenWindow, BalloonClick };
// The events it tells apart, with their values from winuser.h and shellapi.h (tray_texts.cpp checks them
// against the SDK's).
namespace tray_messages {
inline constexpr unsigned ContextMenu = 0x007B;            // WM_CONTEXTMENU
inline constexpr unsigned LeftButtonDoubleClick = 0x0203;  // WM_LBUTTONDBLCLK
inline constexpr unsigned RightButtonUp = 0x0205;          // WM_RBUTTONUP
inline constexpr unsigned Select = 0x0400;                 // NIN_SELECT (WM_USER)
inline constexpr unsigned KeySelect = 0x0401;              // NIN_KEYSELECT (NIN_SELECT | NINF_KEY)
inline constexpr unsigned BalloonUserClick = 0x0405;       // NIN_BALLOONUSERCLICK (WM_USER + 5)
}  // namespace tray_messages
TrayReaction trayReaction(unsigned event, bool version4);

// Shield geometry for an icon of size × size pixels: the 32-pixel outline and pen width scaled, each
// rounded to the nearest pixel (the pen at least one).
struct ShieldShape {
    int points[6][2];
    int penWidth;
};
ShieldShape shieldShape(int size);

// Texts the tray shows in balloons and boxes, in the current language (tray_texts.cpp). The restore
// button's name is quoted as each language quotes.
std::wstring quotedRestoreButton();
std::wstring recoveryBalloonText();
std::wstring updateBalloonText(const std::wstring& version);
std::wstring actionFailureText(bool enabling);
std::wstring startFailureText();

// Whether url starts with the maker's web-site address, compared without regard to case.
bool isTrustedUpdateUrl(const std::wstring& url);

// Copies text into a fixed shell buffer, cut to fit with the terminator always inside.
template <std::size_t N>
void copyTruncated(wchar_t (&buffer)[N], const std::wstring& text) {
    static_assert(N > 0);
    const std::size_t length = text.size() < N - 1 ? text.size() : N - 1;
    text.copy(buffer, length);
    buffer[length] = L'\0';
}

}  // namespace calmlane
