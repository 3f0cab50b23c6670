#pragma once
// The role decision: command-line arguments in, role and parsed values out. No side effects.
#include <cstdint>
#include <string>
#include <vector>

namespace calmlane {

enum class Role {
    Tray,
    RestoreNetwork,
    Service,
    ModeFirewall,
    ModeAdapters,
    Activate,
    Deactivate,
    SetTimeout,
    Uninstall,
    Diagnostics,
    Preview,
    PreviewTest,
    NetworkTest,
    EmbeddedPreview,
    ScreenSaver,
    Window,
};

struct Dispatch {
    Role role = Role::Window;
    unsigned timeoutMinutes = 0;        // SetTimeout
    std::uint64_t previewWindow = 0;    // EmbeddedPreview: the host window handle as a number, 0 when none
    int requestedPage = 0;              // Window
    std::uint64_t settingsDialog = 0;   // Window, "/c": Windows' screen saver dialog as a number, 0 when none
    bool uiTest = false;                // Window: run the UI self-test
    unsigned long uiLanguage = 0;       // with uiTest
    std::wstring snapshotPath;          // with uiTest
    std::wstring snapshotUpdateVersion; // with uiTest, when given
    bool quiet = false;                 // "--quiet" after the role argument: no box, text for the caller
};

// args[0] is the program path; args[1], when present, selects the role.
Dispatch decideRole(const std::vector<std::wstring>& args);

// Idle time below which "/s" runs without cutting the network, from the Windows saver timeout in seconds.
std::uint64_t saverIdleThresholdMs(long long timeoutSeconds);

// "/s": whether the saver runs without cutting the network because real input came shortly before.
// tick and lastInput are GetTickCount and GetLastInputInfo values (32-bit, wrapping). An unreadable last
// input counts as idle (Windows started us); an unreadable timeout counts as 600 seconds.
bool screenSaverPreviewOnly(std::uint32_t tick, bool inputRead, std::uint32_t lastInput, bool timeoutRead,
                            int timeoutSeconds);

}  // namespace calmlane
