// The tray's decisions over time, its callbacks, its shield's geometry and its checks on addresses and
// buffers. The localised texts, the drawn icon and the real companion are checked in tray_test.cpp.
#include "tray/tray_model.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cwctype>
#include <string>
#include <tuple>
#include <vector>

#include "update/web_services.h"

namespace calmlane {
namespace {

TEST(TrayModel, MenuCommandsAndColours) {
    const struct { unsigned command; bool running, configured; MenuAction expected; } rows[] = {
        {EnableCommand, false, true, MenuAction::Enable}, {DisableCommand, false, false, MenuAction::Disable},
        {EnableCommand, false, false, MenuAction::OpenWindow},  // the mode is chosen first
        {CustomizeCommand, false, true, MenuAction::OpenCustomize},
        {StatusCommand, false, true, MenuAction::ShowStatus},
        {EnableCommand, true, true, MenuAction::Nothing},  // chosen from a menu opened before the operation
        {StatusCommand, true, true, MenuAction::Nothing}, {OperationItem, false, true, MenuAction::Nothing},
        {0, false, true, MenuAction::Nothing},               // the menu was dismissed
        {OpenCommand, true, false, MenuAction::OpenWindow},  // as the double click, at any time
    };
    for (const auto& row : rows) {
        EXPECT_EQ(menuAction(row.command, row.running, row.configured), row.expected) << row.command << row.running;
    }
    // An available update outshines the selection.
    for (const bool selected : {false, true}) EXPECT_EQ(shieldColour(true, selected), AttentionColour);
    EXPECT_EQ(shieldColour(false, true), SelectedColour);
    EXPECT_EQ(shieldColour(false, false), IdleColour);
}

// One state through a script of ticks: a refused icon is added again, an update is announced once and
// blinks, and the tray leaves with the service unless an operation still runs.
TEST(TrayModel, TicksOverTime) {
    const struct { TickInput input; TickOutcome outcome; bool phase; } script[] = {
        {{.iconShown = false}, {.addIcon = true}, false},
        {{.cachedAvailable = true}, {.announceUpdate = true, .availabilityChanged = true}, false},
        {{.cachedAvailable = true}, {}, true},
        {{.cachedAvailable = true}, {}, false},
        {{}, {.availabilityChanged = true}, false},  // gone: the tooltip is redrawn
        {{.serviceRunning = false, .operationRunning = true}, {}, false},
        {{.iconShown = false, .serviceRunning = false}, {.exit = true}, false},  // leaves without a new icon
    };
    const auto flags = [](const TickOutcome& o) {
        return std::tuple(o.exit, o.addIcon, o.announceUpdate, o.showRecovery, o.availabilityChanged);
    };
    TrayState state;
    for (const auto& tick : script) {
        EXPECT_EQ(flags(refreshTick(state, tick.input)), flags(tick.outcome)) << &tick - script;
        EXPECT_EQ(state.blinkPhase, tick.phase) << &tick - script;
    }
}

// Published network states (-1: unreadable) against the recovery balloons they bring.
TEST(TrayModel, TheRecoveryBalloonComesOncePerEpisode) {
    const struct { std::vector<int> states; int balloons; } rows[] = {
        {{0, 3, 3, 3, 3}, 1}, {{3, 2, 3, 2, 3, 2, 3}, 1},  // the idle retry of a pending adapter
        {{3, 0, 3}, 2},       {{3, 1, 3}, 2},
        {{3, -1, 3, 7, 3}, 1},  // unreadable or unknown values do not end an episode
        {{1, 2, 0}, 0},         // an ordinary release
    };
    for (const auto& row : rows) {
        TrayState state;
        int shown = 0;
        for (int s : row.states) {
            TickInput input;
            input.stateRead = s >= 0;
            input.networkState = s < 0 ? 0 : static_cast<unsigned long>(s);
            shown += refreshTick(state, input).showRecovery ? 1 : 0;
        }
        EXPECT_EQ(shown, row.balloons) << ::testing::PrintToString(row.states);
    }
}

// Version 4 callbacks: the event and icon id in lParam, the anchor in wParam (negative left of the
// primary monitor).
TEST(TrayModel, CallbacksOfVersion4AndWhatTheyAskFor) {
    const TrayEvent event = decodeTrayCallback(1050u << 16 | 0xFFECu, 1 << 16 | tray_messages::KeySelect);
    EXPECT_EQ(event.event, tray_messages::KeySelect);
    EXPECT_EQ(event.iconId, 1u);
    EXPECT_EQ(event.x, -20);
    EXPECT_EQ(event.y, 1050);
    using namespace tray_messages;
    const struct { unsigned event; bool version4; TrayReaction expected; } rows[] = {
        {ContextMenu, true, TrayReaction::Menu},     // right click, Shift+F10 or the menu key
        {KeySelect, true, TrayReaction::Menu},       // Enter or Space on the icon
        {RightButtonUp, true, TrayReaction::None},   // WM_CONTEXTMENU follows: one menu, not two
        {RightButtonUp, false, TrayReaction::Menu},  {Select, true, TrayReaction::None},
        {LeftButtonDoubleClick, true, TrayReaction::OpenWindow}, {BalloonUserClick, true, TrayReaction::BalloonClick},
    };
    for (const auto& row : rows) EXPECT_EQ(trayReaction(row.event, row.version4), row.expected) << row.event;
}

// The shield is symmetric about the icon's vertical centre line with equal margins above and below, its
// pen one pixel at 100 % and two at 200 %; every size is the 32-pixel shape scaled, rounded to the
// nearest pixel, with a pen of at least one.
TEST(TrayModel, ShieldGeometry) {
    const ShieldShape outline = shieldShape(32);
    const int mirror[6] = {0, 5, 4, 3, 2, 1};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(outline.points[i][0] + outline.points[mirror[i]][0], 32) << i;
        EXPECT_EQ(outline.points[i][1], outline.points[mirror[i]][1]) << i;
    }
    EXPECT_EQ(outline.points[0][1], 32 - outline.points[3][1]);
    EXPECT_EQ(shieldShape(16).penWidth, 1);
    EXPECT_EQ(outline.penWidth, 2);
    const auto rounded = [](int value, int size) { return static_cast<int>(std::floor(value * size / 32.0 + 0.5)); };
    for (int size = 4; size <= 64; ++size) {
        const ShieldShape shape = shieldShape(size);
        for (int i = 0; i < 12; ++i) {
            ASSERT_EQ(shape.points[i / 2][i % 2], rounded(outline.points[i / 2][i % 2], size)) << size << " " << i;
        }
        ASSERT_EQ(shape.penWidth, std::max(1, rounded(outline.penWidth, size))) << size;
    }
}

TEST(TrayModel, TrustedAddressesAndFixedBuffers) {
    const std::wstring site = DownloadPage;
    const std::wstring bare = site.substr(0, site.size() - 1);  // without the closing slash
    std::wstring upper = site;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(std::towupper(c));
    for (const std::wstring& url : {site, upper + L"download?v=1.2"}) EXPECT_TRUE(isTrustedUpdateUrl(url));
    for (const std::wstring& url : {bare, L"http" + site.substr(5), L"q" + site.substr(1), bare + L".evil.example/"}) {
        EXPECT_FALSE(isTrustedUpdateUrl(url)) << url.c_str();
    }
    wchar_t buffer[4];
    for (const std::wstring text : {L"", L"abc", L"abcd", L"abcdefgh"}) {
        copyTruncated(buffer, text);
        EXPECT_EQ(std::wstring(buffer), text.substr(0, 3));
    }
}

}  // namespace
}  // namespace calmlane
