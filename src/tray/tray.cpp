#include "tray/tray.h"

#include <shellapi.h>

#include <cstring>
#include <memory>
#include <stdexcept>

#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/localization.h"
#include "app/roles.h"
#include "configuration/saver_selection.h"
#include "service/service_clients.h"
#include "tray/network_status.h"
#include "tray/tray_model.h"

namespace calmlane {

static_assert(sizeof(NOTIFYICONDATAW) == 976, "the shell's current NOTIFYICONDATAW");

namespace {

constexpr UINT_PTR RefreshTimer = 1;
constexpr UINT_PTR OperationTimer = 2;
constexpr int IconSize = 32;

// The tray's state, touched by its window thread only.
UINT taskbarCreated = 0;
NOTIFYICONDATAW notification = {};
std::shared_ptr<SaverOperation> saverOperation;
std::wstring notificationClickUrl;
TrayState state;
UniqueIcon icon;
int lastSelected = -1;
int lastLanguage = -1;
int lastAttention = -1;

std::wstring operationLabel() {
    return saverOperation ? saverOperationLabel(saverOperation->action) : std::wstring();
}

void showBalloon(const std::wstring& message, DWORD iconType) {
    notification.uFlags |= NIF_INFO;
    copyTruncated(notification.szInfoTitle, Product);
    copyTruncated(notification.szInfo, message);
    notification.dwInfoFlags = iconType;
    Shell_NotifyIconW(NIM_MODIFY, &notification);  // a shell without a tray just shows nothing
    notification.uFlags &= ~static_cast<UINT>(NIF_INFO);
}

void openSelf(const wchar_t* arguments) {
    const std::wstring self = modulePath();
    if (reinterpret_cast<INT_PTR>(ShellExecuteW(nullptr, L"open", self.c_str(), arguments, nullptr, SW_SHOW)) <= 32) {
        MessageBoxW(nullptr, L"Cannot start Calmlane.", Product, MB_OK | MB_ICONERROR);
    }
}

// Starts the operation, or says in a warning box that it could not start.
void startOrWarn(HWND window, SaverAction action, const std::wstring& failure) {
    try {
        startSaverAction(window, action);
    } catch (const std::exception&) {
        MessageBoxW(window, failure.c_str(), Product, MB_OK | MB_ICONWARNING);
    }
}

void showMenu(HWND window) {
    UniqueMenu menu(CreatePopupMenu());
    if (!menu) return;
    for (const MenuEntry& entry : trayMenu(calmlaneSelected(), operationLabel())) {
        const UINT flags = entry.id == 0 ? MF_SEPARATOR : MF_STRING | (entry.enabled ? 0u : MF_GRAYED);
        if (!AppendMenuW(menu.get(), flags, entry.id, entry.id == 0 ? nullptr : entry.label.c_str())) return;
    }
    POINT cursor = {};
    GetCursorPos(&cursor);
    SetForegroundWindow(window);
    const UINT command = static_cast<UINT>(TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x,
                                                          cursor.y, 0, window, nullptr));
    menu.reset();
    PostMessageW(window, WM_NULL, 0, 0);
    if (!IsWindow(window)) return;  // the tick ended the tray while the menu was open

    const bool modeConfigured = readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0) != 0;
    switch (menuAction(command, saverOperation != nullptr, modeConfigured)) {
    case MenuAction::OpenCustomize:
        openSelf(L"/c");
        break;
    case MenuAction::ShowStatus:
        MessageBoxW(window, networkStatus().c_str(), Product, MB_OK | MB_ICONINFORMATION);
        break;
    case MenuAction::OpenWindow:
        openSelf(nullptr);
        break;
    case MenuAction::Enable:
        startOrWarn(window, SaverAction::Enable,
                    tr(L"L’économiseur d’écran n’a pas pu être activé. Ouvrez Calmlane pour vérifier la configuration.",
                       L"The screen saver could not be enabled. Open Calmlane to check the configuration.",
                       L"Der Bildschirmschoner konnte nicht aktiviert werden. Öffnen Sie Calmlane, um die "
                       L"Konfiguration zu prüfen.",
                       L"无法启用屏幕保护程序。请打开 Calmlane 检查配置。",
                       L"No se pudo activar el protector de pantalla. Abra Calmlane para comprobar la configuración.",
                       L"Impossibile attivare lo screen saver. Aprire Calmlane per controllare la configurazione."));
        break;
    case MenuAction::Disable:
        startOrWarn(window, SaverAction::Disable,
                    tr(L"L’économiseur d’écran n’a pas pu être désactivé. Ouvrez Calmlane pour vérifier la "
                       L"configuration.",
                       L"The screen saver could not be disabled. Open Calmlane to check the configuration.",
                       L"Der Bildschirmschoner konnte nicht deaktiviert werden. Öffnen Sie Calmlane, um die "
                       L"Konfiguration zu prüfen.",
                       L"无法停用屏幕保护程序。请打开 Calmlane 检查配置。",
                       L"No se pudo desactivar el protector de pantalla. Abra Calmlane para comprobar la "
                       L"configuración.",
                       L"Impossibile disattivare lo screen saver. Aprire Calmlane per controllare la configurazione."));
        break;
    case MenuAction::Nothing:
        break;
    }
}

void onTick(HWND window) {
    TickInput input;
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
    if (outcome.announceUpdate) notifyUpdate(info);
    update(outcome.availabilityChanged);
    if (outcome.showRecovery) {
        notificationClickUrl.clear();
        showBalloon(tr(L"La récupération du réseau demande votre attention. Ouvrez Calmlane et utilisez Rétablir le "
                       L"réseau si nécessaire.",
                       L"Network recovery needs attention. Open Calmlane and use Restore network if needed.",
                       L"Die Netzwerkwiederherstellung erfordert Aufmerksamkeit. Öffnen Sie Calmlane und verwenden "
                       L"Sie bei Bedarf „Netzwerk wiederherstellen“.",
                       L"网络恢复需要注意。请打开 Calmlane，必要时使用“恢复网络”。",
                       L"La recuperación de la red requiere atención. Abra Calmlane y use Restablecer la red si es "
                       L"necesario.",
                       L"Il ripristino della rete richiede attenzione. Aprire Calmlane e usare Ripristina rete se "
                       L"necessario."),
                    NIIF_WARNING);
    }
}

void onOperationPoll(HWND window) {
    if (!saverOperation || !saverOperation->finished.load(std::memory_order_acquire)) return;
    const std::shared_ptr<SaverOperation> finished = std::move(saverOperation);
    saverOperation.reset();
    KillTimer(window, OperationTimer);
    update(true);
    const std::string error = finished->error();
    if (!error.empty()) MessageBoxA(window, error.c_str(), "Calmlane", MB_OK | MB_ICONERROR);
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
    MSG queued;
    while (PeekMessageW(&queued, window, TrayUpdateChecked, TrayUpdateChecked, PM_REMOVE)) {
        delete reinterpret_cast<UpdateInfo*>(queued.lParam);
    }
    KillTimer(window, RefreshTimer);
    KillTimer(window, OperationTimer);
    Shell_NotifyIconW(NIM_DELETE, &notification);
    icon.reset();
    PostQuitMessage(0);
}

}  // namespace

HICON drawShieldIcon(unsigned long colour) {
    BITMAPINFO info = topDownBitmapInfo(IconSize, IconSize);
    UniqueDc dc(CreateCompatibleDC(nullptr));
    if (!dc) return nullptr;
    void* bits = nullptr;
    UniqueGdiObject pixels(CreateDIBSection(dc.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    UniqueGdiObject brush(CreateSolidBrush(colour));
    UniqueGdiObject pen(CreatePen(PS_SOLID, 2, OutlineColour));
    if (!pixels || bits == nullptr || !brush || !pen) return nullptr;
    auto* pixel = static_cast<unsigned long*>(bits);
    std::memset(pixel, 0, IconSize * IconSize * sizeof(unsigned long));
    {
        ScopedSelection bitmap(dc.get(), pixels.get());
        ScopedSelection fill(dc.get(), brush.get());
        ScopedSelection outline(dc.get(), pen.get());
        static const POINT shield[] = {{16, 2}, {28, 7}, {26, 21}, {16, 30}, {6, 21}, {4, 7}};
        if (!bitmap || !fill || !outline || !Polygon(dc.get(), shield, 6)) return nullptr;
        GdiFlush();
    }
    for (int i = 0; i < IconSize * IconSize; ++i) {
        if ((pixel[i] & 0x00FFFFFF) != 0) pixel[i] |= 0xFF000000;
    }
    static const BYTE zeros[IconSize * IconSize / 8] = {};
    UniqueGdiObject mask(CreateBitmap(IconSize, IconSize, 1, 1, zeros));
    if (!mask) return nullptr;
    ICONINFO parts = {};
    parts.fIcon = TRUE;
    parts.hbmMask = static_cast<HBITMAP>(mask.get());
    parts.hbmColor = static_cast<HBITMAP>(pixels.get());
    return CreateIconIndirect(&parts);  // copies both bitmaps
}

void update(bool force) {
    settings.load();
    const int selected = calmlaneSelected() ? 1 : 0;
    const int language = static_cast<int>(settings.language);
    const int attention = state.blinkPhase && state.updateAvailable ? 1 : 0;
    if (!force && selected == lastSelected && language == lastLanguage && attention == lastAttention) return;
    lastSelected = selected;
    lastLanguage = language;
    lastAttention = attention;

    UniqueIcon drawn(drawShieldIcon(shieldColour(attention != 0, selected != 0)));
    copyTruncated(notification.szTip, trayTooltip(selected != 0, state.updateAvailable, operationLabel()));
    if (drawn) notification.hIcon = drawn.get();  // keep the last icon when GDI fails
    Shell_NotifyIconW(NIM_MODIFY, &notification);
    if (drawn) icon = std::move(drawn);
}

void notifyUpdate(const UpdateInfo& info) {
    if (!info.available || !isTrustedUpdateUrl(info.url)) return;
    std::wstring notified;
    if (!readString(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion", notified)) notified.clear();
    if (notified == info.version) return;
    showBalloon(tr(L"Une nouvelle version est disponible : ", L"A new version is available: ",
                   L"Eine neue Version ist verfügbar: ", L"有新版本可用：", L"Hay una nueva versión disponible: ",
                   L"È disponibile una nuova versione: ") +
                    info.version +
                    tr(L". Cliquez pour ouvrir la page de téléchargement.", L". Click to open the download page.",
                       L". Klicken Sie, um die Download-Seite zu öffnen.", L"。点击打开下载页面。",
                       L". Haga clic para abrir la página de descarga.", L". Fare clic per aprire la pagina di download."),
                NIIF_INFO);
    notificationClickUrl = info.url;
    try {
        writeString(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion", info.version);
    } catch (const std::exception&) {
        // The balloon may then come again later.
    }
}

void startSaverAction(HWND window, SaverAction action) {
    if (saverOperation) return;
    saverOperation = beginTrackedSaverOperation(window, OperationTimer, action);
    update(true);
}

namespace {

LRESULT handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == taskbarCreated && taskbarCreated != 0) {
        Shell_NotifyIconW(NIM_ADD, &notification);
        update(true);
        return 0;
    }
    switch (message) {
    case TrayCallback:
        switch (LOWORD(lParam)) {
        case WM_RBUTTONUP:
        case WM_CONTEXTMENU:
            showMenu(window);
            break;
        case WM_LBUTTONDBLCLK:
            openSelf(nullptr);
            break;
        case NIN_BALLOONUSERCLICK:
            if (!notificationClickUrl.empty() && isTrustedUpdateUrl(notificationClickUrl)) {
                // The browser reports its own failures; there is nothing better to offer here.
                ShellExecuteW(nullptr, L"open", notificationClickUrl.c_str(), nullptr, nullptr, SW_SHOW);
            } else {
                openSelf(nullptr);
            }
            break;
        default:
            break;
        }
        return 0;
    case TrayUpdateChecked:
        // The posted result is owned here and freed once; the tray reads the cached answer instead.
        delete reinterpret_cast<UpdateInfo*>(lParam);
        takeCachedUpdate();
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

    notification = {};
    notification.cbSize = sizeof(notification);
    notification.hWnd = window;
    notification.uID = 1;
    notification.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    notification.uCallbackMessage = TrayCallback;
    notification.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    copyTruncated(notification.szTip, Product);
    Shell_NotifyIconW(NIM_ADD, &notification);  // a missing taskbar adds it later, at TaskbarCreated

    state = TrayState{};
    lastSelected = lastLanguage = lastAttention = -1;
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
