#include "tray/tray.h"

#include <shellapi.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/localization.h"
#include "app/policy.h"
#include "configuration/saver_selection.h"
#include "protocol/service_clients.h"
#include "tray/network_status.h"
#include "tray/tray_model.h"
#include "update/worker.h"

namespace calmlane {

static_assert(sizeof(NOTIFYICONDATAW) == 976, "the shell's current NOTIFYICONDATAW");

namespace {

constexpr UINT_PTR RefreshTimer = 1;
constexpr UINT_PTR OperationTimer = 2;
constexpr UINT IconId = 1;

// The tray's state, touched by its window thread only.
UINT taskbarCreated = 0;
NOTIFYICONDATAW notification = {};
std::shared_ptr<SaverOperation> saverOperation;
std::wstring notificationClickUrl;
TrayState state;
UniqueIcon icon;
bool iconShown = false;  // the shell took the icon
bool version4 = false;   // the shell speaks NOTIFYICON_VERSION_4 with it
int lastSelected = -1;
int lastLanguage = -1;
int lastAttention = -1;
int lastSize = -1;

// Boxes come to the foreground and stay on top: the tray's own window is never visible, and Windows may
// refuse the foreground to a box that opens seconds after the click.
UINT foregroundBox(UINT flags) { return flags | MB_SETFOREGROUND | MB_TOPMOST; }

// Adds the icon and asks for the version 4 callbacks. A NIM_ADD that timed out in a busy shell may
// still have added the icon: a NIM_MODIFY that succeeds says so.
void addIcon() {
    iconShown = Shell_NotifyIconW(NIM_ADD, &notification) || Shell_NotifyIconW(NIM_MODIFY, &notification);
    if (!iconShown) return;
    notification.uVersion = NOTIFYICON_VERSION_4;
    version4 = Shell_NotifyIconW(NIM_SETVERSION, &notification) != FALSE;
}

// The taskbar's DPI: the notification area is on the primary taskbar.
UINT taskbarDpi() {
    HWND taskbar = FindWindowW(L"Shell_TrayWnd", nullptr);
    const UINT dpi = taskbar != nullptr ? GetDpiForWindow(taskbar) : 0;
    return dpi != 0 ? dpi : GetDpiForSystem();
}

std::wstring operationLabel() {
    return saverOperation ? saverOperationLabel(saverOperation->action) : std::wstring();
}

// True when the shell accepted the balloon.
bool showBalloon(const std::wstring& message, DWORD iconType) {
    notification.uFlags |= NIF_INFO;
    copyTruncated(notification.szInfoTitle, Product);
    copyTruncated(notification.szInfo, message);
    notification.dwInfoFlags = iconType;
    const bool shown = Shell_NotifyIconW(NIM_MODIFY, &notification) != FALSE;
    notification.uFlags &= ~static_cast<UINT>(NIF_INFO);
    return shown;
}

void openSelf(const wchar_t* arguments) {
    const std::wstring self = modulePath();
    if (reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", self.c_str(), arguments, nullptr, SW_SHOW)) <= 32) {
        MessageBoxW(nullptr, startFailureText().c_str(), Product, foregroundBox(MB_OK | MB_ICONERROR));
    }
}

// Starts the operation, or says in a warning box that it could not start.
void startOrWarn(HWND window, SaverAction action) {
    try {
        startSaverAction(window, action);
    } catch (const std::exception&) {
        MessageBoxW(window, actionFailureText(action == SaverAction::Enable).c_str(), Product,
                    foregroundBox(MB_OK | MB_ICONWARNING));
    }
}

bool menuOpen = false;          // TrackPopupMenu's loop delivers tray callbacks too
ULONGLONG menuClosedAt = 0;     // a keyboard selection may arrive twice for one key press

// Opens the menu at anchor (screen coordinates): the icon when the keyboard chose it, else the cursor.
void showMenu(HWND window, POINT anchor, bool fromKeyboard) {
    if (menuOpen || (fromKeyboard && GetTickCount64() - menuClosedAt < GetDoubleClickTime())) return;
    UniqueMenu menu(CreatePopupMenu());
    if (!menu) return;
    for (const MenuEntry& entry : trayMenu(calmlaneSelected(), operationLabel())) {
        const UINT flags = entry.id == 0 ? MF_SEPARATOR : MF_STRING | (entry.enabled ? 0u : MF_GRAYED);
        if (!AppendMenuW(menu.get(), flags, entry.id, entry.id == 0 ? nullptr : entry.label.c_str())) return;
    }
    SetMenuDefaultItem(menu.get(), OpenCommand, FALSE);  // shown bold: what the double click does; cosmetic
    SetForegroundWindow(window);
    menuOpen = true;
    const UINT command = static_cast<UINT>(TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON, anchor.x,
                                                          anchor.y, 0, window, nullptr));
    menuOpen = false;
    menuClosedAt = GetTickCount64();
    menu.reset();
    PostMessageW(window, WM_NULL, 0, 0);
    if (!IsWindow(window)) return;  // the tick ended the tray while the menu was open
    // A keyboard user who cancels the menu goes back to the notification area.
    if (command == 0 && fromKeyboard) Shell_NotifyIconW(NIM_SETFOCUS, &notification);

    switch (menuAction(command, saverOperation != nullptr, networkModeChosen())) {
    case MenuAction::OpenCustomize:
        openSelf(L"/c");
        break;
    case MenuAction::ShowStatus:
        MessageBoxW(window, networkStatus().c_str(), Product, foregroundBox(MB_OK | MB_ICONINFORMATION));
        break;
    case MenuAction::OpenWindow:
        openSelf(nullptr);
        break;
    case MenuAction::Enable: {
        // Said before trying: the user's screen-saver policies would defeat the operation.
        const EffectiveSaver saver = effectiveSaver();
        const std::wstring blocked = enableBlockedText(saver.block == SaverBlock::OtherSaver,
                                                       saver.block == SaverBlock::SaverOff);
        if (!blocked.empty()) {
            MessageBoxW(window, blocked.c_str(), Product, foregroundBox(MB_OK | MB_ICONWARNING));
        } else {
            startOrWarn(window, SaverAction::Enable);
        }
        break;
    }
    case MenuAction::Disable:
        startOrWarn(window, SaverAction::Disable);
        break;
    case MenuAction::Nothing:
        break;
    }
}

void onTick(HWND window) {
    TickInput input;
    input.iconShown = iconShown;
    input.serviceRunning = serviceRunning();
    input.operationRunning = saverOperation != nullptr;
    const UpdateInfo info = cachedUpdateInfo();
    input.cachedAvailable = info.available;
    DWORD value = 0;
    DWORD size = sizeof(value);
    input.stateRead = RegGetValueW(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", RRF_RT_REG_DWORD, nullptr,
                                   &value, &size) == ERROR_SUCCESS;
    input.networkState = value;

    const TickOutcome outcome = refreshTick(state, input);
    if (outcome.exit) {
        DestroyWindow(window);
        return;
    }
    if (outcome.addIcon) addIcon();
    // A balloon the shell refused before the icon existed is shown once the icon is there.
    if (outcome.announceUpdate || (outcome.addIcon && iconShown)) notifyUpdate(info);
    update(outcome.availabilityChanged);
    if (outcome.showRecovery) {
        notificationClickUrl.clear();
        if (!showBalloon(recoveryBalloonText(), NIIF_WARNING)) state.reported = false;  // tried again next tick
    }
}

void onOperationPoll(HWND window) {
    if (!saverOperation || !saverOperation->finished.load(std::memory_order_acquire)) return;
    const std::shared_ptr<SaverOperation> finished = std::move(saverOperation);
    saverOperation.reset();
    KillTimer(window, OperationTimer);
    update(true);
    const std::string error = finished->error();
    if (!error.empty()) MessageBoxA(window, error.c_str(), "Calmlane", foregroundBox(MB_OK | MB_ICONERROR));
}

void takeCachedUpdate() {
    const UpdateInfo info = cachedUpdateInfo();
    state.updateAvailable = info.available;
    state.blinkPhase = info.available;
    update(true);
    notifyUpdate(info);
}

void onDestroy(HWND window) {
    // DestroyWindow flushes the window's posted messages: free the update results still queued.
    freePosted(window);
    KillTimer(window, RefreshTimer);
    KillTimer(window, OperationTimer);
    Shell_NotifyIconW(NIM_DELETE, &notification);
    iconShown = false;
    icon.reset();
    PostQuitMessage(0);
}

}  // namespace

HICON drawShieldIcon(unsigned long colour, int size) {
    if (size <= 0) return nullptr;
    BITMAPINFO info = topDownBitmapInfo(size, size);
    UniqueDc dc(CreateCompatibleDC(nullptr));
    if (!dc) return nullptr;
    const ShieldShape shape = shieldShape(size);
    void* bits = nullptr;
    UniqueGdiObject pixels(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    UniqueGdiObject brush(CreateSolidBrush(colour));
    UniqueGdiObject pen(CreatePen(PS_SOLID, shape.penWidth, OutlineColour));
    if (!pixels || bits == nullptr || !brush || !pen) return nullptr;
    const std::size_t count = static_cast<std::size_t>(size) * static_cast<std::size_t>(size);
    auto* pixel = static_cast<unsigned long*>(bits);
    std::memset(pixel, 0, count * sizeof(unsigned long));
    {
        ScopedSelection bitmap(dc.get(), pixels.get());
        ScopedSelection fill(dc.get(), brush.get());
        ScopedSelection outline(dc.get(), pen.get());
        POINT shield[6];
        for (int i = 0; i < 6; ++i) shield[i] = {shape.points[i][0], shape.points[i][1]};
        if (!bitmap || !fill || !outline || !Polygon(dc.get(), shield, 6)) return nullptr;
        GdiFlush();
    }
    for (std::size_t i = 0; i < count; ++i) {
        if ((pixel[i] & 0x00FFFFFF) != 0) pixel[i] |= 0xFF000000;
    }
    // Monochrome rows are padded to 16 bits.
    const std::vector<BYTE> zeros(static_cast<std::size_t>((size + 15) / 16 * 2) * static_cast<std::size_t>(size));
    UniqueGdiObject mask(CreateBitmap(size, size, 1, 1, zeros.data()));
    if (!mask) return nullptr;
    ICONINFO parts = {};
    parts.fIcon = TRUE;
    parts.hbmMask = static_cast<HBITMAP>(mask.get());
    parts.hbmColor = static_cast<HBITMAP>(pixels.get());
    return CreateIconIndirect(&parts);  // copies both bitmaps
}

int trayIconSize(UINT dpi) {
    const int size = GetSystemMetricsForDpi(SM_CXSMICON, dpi);
    return size > 0 ? size : MulDiv(16, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
}

void update(bool force) {
    settings.load();
    const int selected = calmlaneSelected() ? 1 : 0;
    const int language = static_cast<int>(settings.language);
    const int attention = state.blinkPhase && state.updateAvailable ? 1 : 0;
    const int size = trayIconSize(taskbarDpi());  // a scale change shows at the next tick
    if (!force && selected == lastSelected && language == lastLanguage && attention == lastAttention &&
        size == lastSize) {
        return;
    }
    lastSelected = selected;
    lastLanguage = language;
    lastAttention = attention;
    lastSize = size;

    UniqueIcon drawn(drawShieldIcon(shieldColour(attention != 0, selected != 0), size));
    copyTruncated(notification.szTip, trayTooltip(selected != 0, state.updateAvailable, operationLabel()));
    if (drawn) notification.hIcon = drawn.get();  // keep the last icon when GDI fails
    Shell_NotifyIconW(NIM_MODIFY, &notification);  // no icon yet: the tick adds it with this record
    if (drawn) icon = std::move(drawn);
}

void notifyUpdate(const UpdateInfo& info) {
    if (!info.available || !isTrustedUpdateUrl(info.url)) return;
    std::wstring notified;
    if (!readString(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion", notified)) notified.clear();
    if (notified == info.version) return;
    // Recorded only once shown: a balloon the shell refused (no taskbar yet) comes again later.
    if (!showBalloon(updateBalloonText(info.version), NIIF_INFO)) return;
    notificationClickUrl = info.url;
    try {
        writeString(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion", info.version);
    } catch (const std::exception&) {
        // The balloon may then come again later.
    }
}

bool addTrayIcon(HWND window) {
    notification = {};
    notification.cbSize = sizeof(notification);
    notification.hWnd = window;
    notification.uID = IconId;
    // Version 4 shows the standard tooltip only with NIF_SHOWTIP.
    notification.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    notification.uCallbackMessage = TrayCallback;
    notification.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    copyTruncated(notification.szTip, Product);
    version4 = false;
    addIcon();
    return iconShown;
}

void startSaverAction(HWND window, SaverAction action) {
    if (saverOperation) return;
    saverOperation = beginTrackedSaverOperation(window, OperationTimer, action);
    update(true);
}

namespace {

LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == taskbarCreated && taskbarCreated != 0) {
        const bool wasShown = iconShown;
        addIcon();
        update(true);  // also at the new taskbar's scale
        if (!wasShown && iconShown) notifyUpdate(cachedUpdateInfo());
        return 0;
    }
    switch (message) {
    case TrayCallback: {
        const TrayEvent event = decodeTrayCallback(wParam, lParam);
        if (version4 && event.iconId != IconId) return 0;
        switch (trayReaction(event.event, version4)) {
        case TrayReaction::Menu: {
            POINT anchor = {event.x, event.y};
            if (!version4 && !GetCursorPos(&anchor)) anchor = {};  // the older layout carries no anchor
            showMenu(window, anchor, event.event == NIN_KEYSELECT);
            break;
        }
        case TrayReaction::OpenWindow:
            openSelf(nullptr);
            break;
        case TrayReaction::BalloonClick:
            if (!notificationClickUrl.empty() && isTrustedUpdateUrl(notificationClickUrl)) {
                // The browser reports its own failures; there is nothing better to offer here.
                ShellExecuteW(nullptr, L"open", notificationClickUrl.c_str(), nullptr, nullptr, SW_SHOW);
            } else {
                openSelf(nullptr);
            }
            break;
        case TrayReaction::None:
            break;
        }
        return 0;
    }
    case TrayUpdateChecked:
        // Only a result of the tray's own check counts, freed here; the tray reads the cached answer instead.
        if (takePosted<UpdateInfo>(window, message, lParam)) takeCachedUpdate();
        return 0;
    case WM_SETTINGCHANGE:
        // Group Policy was applied: the update policy may have changed (cachedUpdateInfo follows it).
        if (lParam != 0 && lstrcmpiW(reinterpret_cast<const wchar_t*>(lParam), L"Policy") == 0) {
            takeCachedUpdate();
            try {
                beginUpdateCheck(window, TrayUpdateChecked, false);  // at most once a day; none under the policy
            } catch (const std::exception&) {
                // No thread for the check: the cached answer stays.
            }
        }
        return 0;
    case WM_TIMER:
        if (wParam == RefreshTimer) onTick(window);
        if (wParam == OperationTimer) onOperationPoll(window);
        return 0;
    case WM_DESTROY:
        onDestroy(window);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

// Nothing may unwind through the system's dispatch frames.
LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    try {
        return handle(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

int runTray() {
    repairSelectedSaverPath();
    UniqueHandle mutex(CreateMutexW(nullptr, FALSE, TrayMutex));
    if (!mutex) return 1;
    if (GetLastError() == ERROR_ALREADY_EXISTS || !serviceRunning()) return 0;

    taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = proc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = TrayWindowClass;
    if (!RegisterClassW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return 1;
    HWND window = CreateWindowExW(0, TrayWindowClass, L"", 0, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (window == nullptr) return 1;

    // Lets a new taskbar's message through to a tray that runs elevated; one at the user's level hears
    // it anyway, so a failure changes nothing there.
    ChangeWindowMessageFilterEx(window, taskbarCreated, MSGFLT_ALLOW, nullptr);
    addTrayIcon(window);  // when the taskbar is not there yet, the tick or TaskbarCreated adds it

    state = TrayState{};
    lastSelected = lastLanguage = lastAttention = lastSize = -1;
    takeCachedUpdate();
    try {
        beginUpdateCheck(window, TrayUpdateChecked, true);
    } catch (const std::exception&) {
        // No thread for the check: the tray runs on with the cached answer.
    }
    if (SetTimer(window, RefreshTimer, 1000, nullptr) == 0) {
        DestroyWindow(window);
        return 1;
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}

}  // namespace calmlane
