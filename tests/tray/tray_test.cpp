// The tray's decisions over time, its drawn icon, and the real companion under Wine's shell.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/settings.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"
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
        {false, L"", {3, 4, 0, 1, 2}, {true, false, false, true, true}},
        {true, L"", {3, 4, 0, 1, 2}, {false, true, false, true, true}},
        {true, L"Disabling…", {3, 4, 0, 1, 2, 0, 5}, {false, false, false, false, false, false, false}},
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
        EXPECT_EQ(menu[0].label, L"Enable the screen saver");
        EXPECT_EQ(menu[3].label, L"Customize the screen saver");
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

TEST(TrayIcon, AnOpaqueShieldOnATransparentSquare) {
    for (unsigned long colour : {RGB(245, 158, 11), RGB(44, 173, 92), RGB(140, 148, 158)}) {
        UniqueIcon icon(drawShieldIcon(colour));
        ASSERT_TRUE(icon);
        ICONINFO parts = {};
        ASSERT_TRUE(GetIconInfo(icon.get(), &parts));
        UniqueGdiObject colourBitmap(parts.hbmColor), mask(parts.hbmMask);
        BITMAPINFO info = topDownBitmapInfo(32, 32);
        std::vector<DWORD> pixels(32 * 32);
        UniqueDc dc(CreateCompatibleDC(nullptr));
        ASSERT_EQ(GetDIBits(dc.get(), static_cast<HBITMAP>(colourBitmap.get()), 0, 32, pixels.data(), &info,
                            DIB_RGB_COLORS),
                  32);
        const DWORD centre = pixels[16 * 32 + 16];
        const DWORD bgr = (colour & 0xFF) << 16 | (colour & 0xFF00) | (colour >> 16 & 0xFF);
        EXPECT_EQ(centre, 0xFF000000 | bgr);
        EXPECT_EQ(pixels[2 * 32 + 16], 0xFFF5F8FFu);  // the outline at the top point, RGB(245, 248, 255)
        EXPECT_EQ(pixels[0], 0u);           // outside the shield: transparent
        EXPECT_EQ(pixels[31 * 32 + 31], 0u);
    }
}

TEST(TrayBalloon, OnlyATrustedAddressIsAnnouncedAndRecorded) {
    test::RegistryScratch scratch;
    UpdateInfo info;
    info.available = true;
    info.version = L"1.2.0";
    info.url = L"https://elsewhere.example/";
    notifyUpdate(info);
    EXPECT_FALSE(test::valueExists(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion"));
    info.url = DownloadPage;
    notifyUpdate(info);
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
