// The tray's decisions over time, its drawn icon, and the real companion under Wine's shell.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/localization.h"
#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/settings.h"
#include "saver/star_field.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"
#include "tray/network_status.h"
#include "tray/tray.h"
#include "tray/tray_model.h"
#include "update/web_services.h"

namespace calmlane {
namespace {

struct EnglishScope {
    EnglishScope() : saved(settings.language) { settings.language = 1; }
    ~EnglishScope() { settings.language = saved; }
    unsigned long saved;
};

TEST(TrayModel, TooltipAndMenuFollowTheSelectionAndTheOperation) {
    EnglishScope english;
    EXPECT_EQ(trayTooltip(true, false, L""), L"Calmlane — selected screen saver");
    EXPECT_EQ(trayTooltip(false, true, L""), L"Calmlane — screen saver not selected — update available");
    EXPECT_EQ(trayTooltip(true, true, L"Enabling…"), L"Enabling…");
    EXPECT_EQ(shieldColour(true, true), RGB(245, 158, 11));
    EXPECT_EQ(shieldColour(true, false), RGB(245, 158, 11));
    EXPECT_EQ(shieldColour(false, true), RGB(44, 173, 92));
    EXPECT_EQ(shieldColour(false, false), RGB(140, 148, 158));
    EXPECT_EQ(OutlineColour, RGB(245, 248, 255));

    const struct {
        bool selected;
        const wchar_t* operation;
        std::vector<unsigned> ids;
        std::vector<bool> enabled;
    } rows[] = {
        {false, L"", {6, 0, 3, 4, 0, 1, 2}, {true, false, true, false, false, true, true}},
        {true, L"", {6, 0, 3, 4, 0, 1, 2}, {true, false, false, true, false, true, true}},
        {true, L"Disabling…", {6, 0, 3, 4, 0, 1, 2, 0, 5}, {true, false, false, false, false, false, false, false, false}},
    };
    for (const auto& row : rows) {
        const std::vector<MenuEntry> menu = trayMenu(row.selected, row.operation);
        std::vector<unsigned> ids;
        std::vector<bool> enabled;
        for (const MenuEntry& e : menu) {
            ids.push_back(e.id);
            enabled.push_back(e.enabled);
        }
        EXPECT_EQ(ids, row.ids);
        EXPECT_EQ(enabled, row.enabled);
        EXPECT_EQ(menu[0].label, L"Open Calmlane");
        EXPECT_EQ(menu[2].label, L"Enable the screen saver");
        EXPECT_EQ(menu[5].label, L"Customize the screen saver");
        if (*row.operation) {
            EXPECT_EQ(menu.back().label, row.operation);
        }
    }
}

TEST(TrayModel, MenuCommands) {
    const struct {
        unsigned command;
        bool running, configured;
        MenuAction expected;
    } rows[] = {
        {EnableCommand, false, true, MenuAction::Enable},
        {EnableCommand, false, false, MenuAction::OpenWindow},  // the mode is chosen first
        {DisableCommand, false, false, MenuAction::Disable},
        {CustomizeCommand, false, true, MenuAction::OpenCustomize},
        {StatusCommand, false, true, MenuAction::ShowStatus},
        {EnableCommand, true, true, MenuAction::Nothing},  // chosen from a menu opened before the operation
        {StatusCommand, true, true, MenuAction::Nothing},
        {0, false, true, MenuAction::Nothing},  // the menu was dismissed
        {OperationItem, false, true, MenuAction::Nothing},
        {OpenCommand, true, false, MenuAction::OpenWindow},  // as the double click, at any time
    };
    for (const auto& row : rows) {
        EXPECT_EQ(menuAction(row.command, row.running, row.configured), row.expected) << row.command << row.running;
    }
}

// Feeds a sequence of published network states and counts the recovery balloons.
int recoveryBalloons(const std::vector<int>& states) {
    TrayState state;
    int shown = 0;
    for (int s : states) {
        TickInput input;
        input.stateRead = s >= 0;  // -1: the value cannot be read
        input.networkState = s < 0 ? 0 : static_cast<unsigned long>(s);
        shown += refreshTick(state, input).showRecovery ? 1 : 0;
    }
    return shown;
}

TEST(TrayModel, TheRecoveryBalloonComesOncePerEpisode) {
    const struct {
        std::vector<int> states;
        int balloons;
    } rows[] = {
        {{0, 3, 3, 3, 3}, 1},
        {{3, 2, 3, 2, 3, 2, 3}, 1},  // the idle retry of a pending adapter
        {{3, 0, 3}, 2},
        {{3, 1, 3}, 2},
        {{3, -1, 3, 7, 3}, 1},  // unreadable or unknown values do not end an episode
        {{1, 2, 0}, 0},         // an ordinary release
    };
    for (const auto& row : rows) EXPECT_EQ(recoveryBalloons(row.states), row.balloons) << ::testing::PrintToString(row.states);
}

TEST(TrayModel, UpdatesBlinkAndAnnounceOnceAndTheTrayLeavesWithTheService) {
    TrayState state;
    TickInput input;
    input.cachedAvailable = true;
    std::vector<bool> phases;
    int announced = 0, redrawn = 0;
    for (int i = 0; i < 4; ++i) {
        const TickOutcome outcome = refreshTick(state, input);
        announced += outcome.announceUpdate ? 1 : 0;
        redrawn += outcome.availabilityChanged ? 1 : 0;
        phases.push_back(state.blinkPhase);
    }
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(redrawn, 1);
    EXPECT_EQ(phases, (std::vector<bool>{false, true, false, true}));
    // The update is gone while the icon shows the selection colour: the tooltip must still be redrawn.
    input.cachedAvailable = false;
    const TickOutcome gone = refreshTick(state, input);
    EXPECT_TRUE(gone.availabilityChanged);
    EXPECT_FALSE(gone.announceUpdate);
    EXPECT_FALSE(state.blinkPhase);

    input.serviceRunning = false;
    input.operationRunning = true;
    EXPECT_FALSE(refreshTick(state, input).exit);  // an operation still running keeps the tray
    input.operationRunning = false;
    EXPECT_TRUE(refreshTick(state, input).exit);
}

// Version 4 callbacks: the event and icon id in lParam, the anchor in wParam (negative left of the
// primary monitor).
TEST(TrayModel, CallbacksOfVersion4AndWhatTheyAskFor) {
    const TrayEvent event = decodeTrayCallback(MAKEWPARAM(-20, 1050), MAKELPARAM(NIN_KEYSELECT, 1));
    EXPECT_EQ(event.event, static_cast<unsigned>(NIN_KEYSELECT));
    EXPECT_EQ(event.iconId, 1u);
    EXPECT_EQ(event.x, -20);
    EXPECT_EQ(event.y, 1050);
    const struct {
        unsigned event;
        bool version4;
        TrayReaction expected;
    } rows[] = {
        {WM_CONTEXTMENU, true, TrayReaction::Menu},   // right click, Shift+F10 or the menu key
        {NIN_KEYSELECT, true, TrayReaction::Menu},    // Enter or Space on the icon
        {WM_RBUTTONUP, true, TrayReaction::None},     // WM_CONTEXTMENU follows: one menu, not two
        {WM_RBUTTONUP, false, TrayReaction::Menu},
        {NIN_SELECT, true, TrayReaction::None},
        {WM_LBUTTONDBLCLK, true, TrayReaction::OpenWindow},
        {NIN_BALLOONUSERCLICK, true, TrayReaction::BalloonClick},
    };
    for (const auto& row : rows) EXPECT_EQ(trayReaction(row.event, row.version4), row.expected) << row.event;
}

TEST(TrayModel, AnIconTheShellRefusedIsAddedAgainOnTheTick) {
    const struct {
        bool shown, serviceRunning, add, exit;
    } rows[] = {
        {false, true, true, false},
        {true, true, false, false},
        {false, false, false, true},
    };
    for (const auto& row : rows) {
        TrayState state;
        TickInput input;
        input.iconShown = row.shown;
        input.serviceRunning = row.serviceRunning;
        const TickOutcome outcome = refreshTick(state, input);
        EXPECT_EQ(outcome.addIcon, row.add);
        EXPECT_EQ(outcome.exit, row.exit);
    }
}

// The restore button's exact name, quoted as each language quotes, wherever a tray text names it; and
// French puts a no-break space before every colon, which keeps the colon off the start of a line.
TEST(TrayTexts, QuotedButtonNamesAndFrenchColons) {
    const wchar_t* marks[][2] = {{L"«\u00A0", L"\u00A0»"}, {L"“", L"”"}, {L"„", L"“"},
                                 {L"“", L"”"},         {L"«", L"»"},         {L"«", L"»"}};
    StatusFacts facts;
    facts.selected = facts.activeRead = facts.active = facts.timeoutRead = facts.serviceRunning = true;
    facts.timeoutSeconds = 90;
    const unsigned long saved = settings.language;
    for (unsigned long language = 0; language < 6; ++language) {
        settings.language = language;
        const std::wstring recovery = recoveryBalloonText();
        const std::wstring name = std::wstring(marks[language][0]) + restoreNetworkText() + marks[language][1];
        EXPECT_NE(recovery.find(name), std::wstring::npos) << language;
        if (language != 0) continue;
        for (const std::wstring& text : {recovery, updateBalloonText(L"1.2"), statusText(facts), overlayText(false, true),
                                         configurationReport()}) {
            for (std::size_t colon = text.find(L':'); colon != std::wstring::npos; colon = text.find(L':', colon + 1)) {
                EXPECT_TRUE(colon > 0 && text[colon - 1] == L'\u00A0') << text.c_str();
            }
        }
    }
    settings.language = saved;
}

TEST(TrayModel, TrustedAddressesAndFixedBuffers) {
    const std::wstring site = DownloadPage;
    std::wstring upper = site;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    EXPECT_TRUE(isTrustedUpdateUrl(site));
    EXPECT_TRUE(isTrustedUpdateUrl(upper + L"download?v=1.2"));
    EXPECT_FALSE(isTrustedUpdateUrl(site.substr(0, site.size() - 1)));  // without the closing slash
    EXPECT_FALSE(isTrustedUpdateUrl(L"http" + site.substr(5)));
    EXPECT_FALSE(isTrustedUpdateUrl(site.substr(0, site.size() - 1) + L".evil.example/"));

    wchar_t buffer[4];
    for (const std::wstring text : {L"", L"abc", L"abcd", L"abcdefgh"}) {
        copyTruncated(buffer, text);
        EXPECT_EQ(std::wstring(buffer), text.substr(0, 3));
    }
}

// The small-icon size of the taskbar's scale, not a 32-pixel icon shrunk by the shell.
TEST(TrayIcon, AnOpaqueShieldOnATransparentSquareAtTheTaskbarsScale) {
    const struct {
        UINT dpi;
        int size;
        unsigned long colour;
    } rows[] = {{96, 16, RGB(245, 158, 11)}, {120, 20, RGB(44, 173, 92)}, {144, 24, RGB(140, 148, 158)},
                {192, 32, RGB(44, 173, 92)}};
    for (const auto& row : rows) {
        const int size = trayIconSize(row.dpi);
        ASSERT_EQ(size, row.size);
        UniqueIcon icon(drawShieldIcon(row.colour, size));
        ASSERT_TRUE(icon);
        ICONINFO parts = {};
        ASSERT_TRUE(GetIconInfo(icon.get(), &parts));
        UniqueGdiObject colourBitmap(parts.hbmColor), mask(parts.hbmMask);
        BITMAPINFO info = topDownBitmapInfo(size, size);
        std::vector<DWORD> pixels(static_cast<std::size_t>(size * size));
        UniqueDc dc(CreateCompatibleDC(nullptr));
        ASSERT_EQ(GetDIBits(dc.get(), static_cast<HBITMAP>(colourBitmap.get()), 0, size, pixels.data(), &info,
                            DIB_RGB_COLORS),
                  size);
        BITMAP shape = {};
        ASSERT_TRUE(GetObjectW(colourBitmap.get(), sizeof(shape), &shape));
        EXPECT_EQ(shape.bmWidth, size);
        const DWORD bgr = (row.colour & 0xFF) << 16 | (row.colour & 0xFF00) | (row.colour >> 16 & 0xFF);
        EXPECT_EQ(pixels[size / 2 * size + size / 2], 0xFF000000 | bgr) << size;
        const auto& top = shieldShape(size).points[0];
        EXPECT_EQ(pixels[top[1] * size + top[0]], 0xFFF5F8FFu) << size;  // the outline, RGB(245, 248, 255)
        EXPECT_EQ(pixels[0], 0u);  // outside the shield: transparent
        EXPECT_EQ(pixels.back(), 0u);
    }
}

TEST(TrayBalloon, OnlyATrustedAddressIsAnnouncedAndRecordedOnceShown) {
    test::RegistryScratch scratch;
    UpdateInfo info;
    info.available = true;
    info.version = L"1.2.0";
    info.url = DownloadPage;
    notifyUpdate(info);  // no icon yet: the shell refuses the balloon
    EXPECT_FALSE(test::valueExists(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion"));

    instance = GetModuleHandleW(nullptr);
    HWND window = test::createProbeWindow(L"CalmlaneTrayBalloonTest", proc);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(addTrayIcon(window));
    info.url = L"https://elsewhere.example/";
    notifyUpdate(info);
    EXPECT_FALSE(test::valueExists(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion"));
    info.url = DownloadPage;
    notifyUpdate(info);
    DestroyWindow(window);  // takes the icon away and posts the quit message
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    std::wstring notified;
    ASSERT_TRUE(readString(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion", notified));
    EXPECT_EQ(notified, L"1.2.0");
}

// The test variant installed with its service: the real companion, its single instance and its exit.
TEST(TrayCompanion, RunsOnceWhileTheServiceRunsAndLeavesWithIt) {
    test::RegistryScratch scratch;
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    const std::wstring program = test::binFolder() + L"\\Calmlane-test.exe";
    {
        test::InstalledService stopped;  // installed, not started
        const test::ChildResult alone = test::runChild(program, L"--tray", 10000);
        EXPECT_TRUE(alone.finished);
        EXPECT_EQ(alone.exitCode, 0u);
        EXPECT_TRUE(alone.boxes.empty());
    }
    test::InstalledService service;
    ASSERT_TRUE(service.start());
    const test::StartedChild child = test::startChild(program, L"--tray");
    const UniqueHandle& tray = child.process;
    ASSERT_TRUE(tray);
    HWND window = nullptr;
    for (int i = 0; i < 200 && window == nullptr; ++i, Sleep(50)) window = FindWindowW(TrayWindowClass, nullptr);
    ASSERT_NE(window, nullptr);

    const test::ChildResult second = test::runChild(program, L"--tray", 10000);
    EXPECT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, 0u);
    EXPECT_EQ(FindWindowW(TrayWindowClass, nullptr), window);

    // A new taskbar: the icon is added again and the tray carries on.
    SendMessageTimeoutW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    EXPECT_EQ(WaitForSingleObject(tray.get(), 1500), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(service.stop());
    ASSERT_EQ(WaitForSingleObject(tray.get(), 5000), WAIT_OBJECT_0) << "the tray outlived the service";
    DWORD code = 99;
    GetExitCodeProcess(tray.get(), &code);
    EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace calmlane
