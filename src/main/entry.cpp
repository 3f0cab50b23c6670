#include "main/entry.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstddef>
#include <exception>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "configuration/saver_selection.h"
#include "configuration/settings_broadcast.h"
#include "install/installer.h"
#include "protocol/service_clients.h"
#include "saver/saver.h"
#include "service/service_host.h"
#include "tray/network_status.h"
#include "tray/tray.h"
#include "ui/ui.h"
#include "update/staging.h"

namespace calmlane {

namespace {

// "/s": a start soon after real input (the settings' preview button, a double click) must not cut the network.
bool screenSaverPreviewOnlyNow() {
    LASTINPUTINFO input = {};
    input.cbSize = sizeof(input);
    const bool inputRead = GetLastInputInfo(&input) != FALSE;
    int timeoutSeconds = 0;
    const bool timeoutRead = SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &timeoutSeconds, 0) != FALSE;
    return screenSaverPreviewOnly(GetTickCount(), inputRead, input.dwTime, timeoutRead, timeoutSeconds);
}

// The command-line actions end the process when they return: the settings broadcast they asked for is
// given a moment to go out first, whether the action succeeded or failed.
class AwaitBroadcast {
public:
    AwaitBroadcast() = default;
    AwaitBroadcast(const AwaitBroadcast&) = delete;
    AwaitBroadcast& operator=(const AwaitBroadcast&) = delete;
    ~AwaitBroadcast() { settingsNotifications.waitIdle(2000); }  // waitIdle never throws
};

void launchUninstaller() {
    const std::wstring path = installDir() + L"\\Uninstall.exe";
    // The launch result is deliberately not checked: nothing to tell the user from here.
    ShellExecuteW(nullptr, L"open", path.c_str(), L"--uninstall", nullptr, SW_SHOWNORMAL);
}

// Set once the role is decided: a quiet run reports a failure on the caller's console, never in a box.
bool quietRun = false;

// The start-up steps a role uses, decided from the role alone: the service has no windows, COM or
// per-user settings, a saver no COM, and only the programs a person keeps open clean up after updates.
struct Preparation {
    Role role;
    bool dpiAware;        // shows windows or boxes: per-monitor DPI awareness, version 2
    bool controls;        // the window's standard and bar controls
    bool com;             // starts programs through the shell (ShellExecute), which may use COM
    bool settings;        // reads the per-user settings (the language of its texts, the star field)
    bool stagedUpdates;   // removes the installers that an earlier update left behind
};

constexpr Preparation Preparations[] = {
    // role                 DPI    controls COM    settings staged
    {Role::Tray,            true,  false,   true,  true,    true},
    {Role::RestoreNetwork,  false, false,   false, true,    false},
    {Role::Service,         false, false,   false, false,   false},
    {Role::ModeFirewall,    true,  false,   false, false,   false},
    {Role::ModeAdapters,    true,  false,   false, false,   false},
    {Role::Activate,        true,  false,   false, false,   false},
    {Role::Deactivate,      true,  false,   false, false,   false},
    {Role::SetTimeout,      true,  false,   false, false,   false},
    {Role::Uninstall,       true,  false,   true,  false,   false},
    {Role::Diagnostics,     true,  false,   false, false,   false},  // the report reads the settings itself
    {Role::Preview,         true,  false,   false, true,    false},
    {Role::PreviewTest,     true,  false,   false, true,    false},
    {Role::NetworkTest,     true,  false,   false, true,    false},
    {Role::EmbeddedPreview, true,  false,   false, true,    false},
    {Role::ScreenSaver,     true,  false,   false, true,    false},
    {Role::Window,          true,  true,    true,  true,    true},
};

constexpr bool oneRowPerRole() {
    std::size_t row = 0;
    for (const Preparation& p : Preparations) {
        if (static_cast<std::size_t>(p.role) != row++) return false;
    }
    return row == static_cast<std::size_t>(Role::Window) + 1;
}
static_assert(oneRowPerRole(), "Preparations has one row per role, in the order of Role");

// The results are not needed: the manifest already declares the DPI awareness, the window registers its
// controls again itself, and COM already initialised on this thread is just as good.
void prepareFor(Role role) {
    const Preparation& p = Preparations[static_cast<std::size_t>(role)];
    if (p.dpiAware) SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    if (p.stagedUpdates) cleanupStagedUpdates();
    if (p.controls) {
        INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
        InitCommonControlsEx(&controls);
    }
    if (p.com) CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (p.settings) settings.load();
}

void reportRoleError(const char* message) {
    if (quietRun) {
        reportToCaller(message);
    } else {
        showRoleError(message);
    }
}

}  // namespace

void showRoleError(const char* message) { MessageBoxA(nullptr, message, "Calmlane Native", MB_OK | MB_ICONERROR); }

int runGuarded(const std::function<int()>& role, ErrorReporter report) {
    try {
        return role();
    } catch (const std::exception& e) {
        report(e.what());
    } catch (...) {
        report("Unexpected error.");
    }
    return 1;
}

int runRole(const Dispatch& d) {
    switch (d.role) {
    case Role::Tray: return runTray();
    case Role::RestoreNetwork: return requestNetworkRestore();
    case Role::Service: runService(); return 0;
    case Role::ModeFirewall: return changeNetworkMode(true, d.quiet ? reportToCaller : showModeError);
    case Role::ModeAdapters: return changeNetworkMode(false, d.quiet ? reportToCaller : showModeError);
    case Role::Activate: {
        AwaitBroadcast await;
        activateSaver();
        return 0;
    }
    case Role::Deactivate: {
        AwaitBroadcast await;
        deactivateSaver();
        return 0;
    }
    case Role::SetTimeout: {
        AwaitBroadcast await;
        setSaverTimeout(d.timeoutMinutes);
        return 0;
    }
    case Role::Uninstall: launchUninstaller(); return 0;
    case Role::Diagnostics:
        if (d.quiet) {
            writeToCaller(configurationReport() + L"\n");
        } else {
            MessageBoxW(nullptr, configurationReport().c_str(), Product, MB_OK | MB_ICONINFORMATION);
        }
        return 0;
    case Role::Preview: runSaver(nullptr, true, 0); return 0;
    case Role::PreviewTest: runSaver(nullptr, true, 3); return 0;
    case Role::NetworkTest: runSaver(nullptr, false, 6); return 0;
    case Role::EmbeddedPreview: {
        const HWND host = reinterpret_cast<HWND>(static_cast<UINT_PTR>(d.previewWindow));
        if (d.previewWindow != 0 && IsWindow(host)) runSaver(host, true, 0);
        return 0;
    }
    case Role::ScreenSaver: runSaver(nullptr, screenSaverPreviewOnlyNow(), 0); return 0;
    case Role::Window:
        requestedPage = d.requestedPage;
        if (d.settingsDialog != 0) {
            // The page is owned by the named window's top-level window; never the desktop or the shell.
            const HWND named = reinterpret_cast<HWND>(static_cast<UINT_PTR>(d.settingsDialog));
            const HWND dialog = IsWindow(named) ? GetAncestor(named, GA_ROOT) : nullptr;
            if (dialog != nullptr && dialog != GetDesktopWindow() && dialog != GetShellWindow()) settingsDialog = dialog;
        }
        if (d.uiTest) {
            settings.language = d.uiLanguage;
            snapshotPath = d.snapshotPath;
            snapshotUpdateVersion = d.snapshotUpdateVersion;
            quitAfterTest = true;
        }
        return runWindow();
    }
    return runWindow();
}

int runProcess(HINSTANCE module) {
    instance = module;
    return runGuarded(
        [] {
            // The role first: deciding it changes nothing. Then only what that role uses.
            Dispatch d = decideRole(commandLineArguments());
            // Nobody could see or close a box (SYSTEM in session 0, a service): every run is quiet there.
            d.quiet = d.quiet || !interactiveDesktop();
            quietRun = d.quiet;
            prepareFor(d.role);
            return runRole(d);
        },
        reportRoleError);
}

}  // namespace calmlane
