// The main window's geometry as arithmetic: window rectangles, scrolling to a control, Enter's target and
// the controls a busy window disables.
#include "ui/layout_arithmetic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace calmlane {
namespace {

std::array<int, 4> sides(const PixelRect& r) { return {r.left, r.top, r.right, r.bottom}; }

TEST(UiGeometry, WindowFollowsScaleAndWorkArea) {
    const PixelRect large = {0, 0, 3840, 2160};
    const PixelRect laptop = {0, 0, 1366, 728};
    const struct {
        int page;
        double scale;
        PixelRect work;
        PixelRect expected;
    } cases[] = {
        {0, 1.5, large, {1170, 442, 2670, 1717}},   // 1500 × 1275, centred
        {0, 1.5, laptop, {15, 15, 1351, 713}},      // 1336 × 698: each side limited to the work area − 30
        {1, 1.0, laptop, {183, 15, 1183, 713}},     // 1000 × 780 → 698 high
        {1, 1.0, large, {1420, 690, 2420, 1470}},
        {2, 2.0, large, {1140, 300, 2700, 1860}},   // 1560 × 1560
        {3, 1.0, {100, 50, 1100, 950}, {210, 110, 990, 890}},
        {4, 1.0, {100, 50, 1100, 950}, {210, 110, 990, 890}},  // past the last page: its size
    };
    for (const auto& c : cases) {
        EXPECT_EQ(sides(initialWindowRect(c.page, c.scale, c.work)), sides(c.expected)) << c.page << " @" << c.scale;
    }
    // Fitting keeps the left edge and the width, adds 8 DIPs, and stays inside the work area, centred.
    const PixelRect window = {15, 15, 1351, 713};
    EXPECT_EQ(sides(fittedWindowRect(window, 40, 900, 1.5, laptop)), sides(window));  // 40 + 900 + 12 > 698
    EXPECT_EQ(sides(fittedWindowRect(window, 40, 500, 1.5, laptop)), sides({15, 88, 1351, 640}));  // 552 high
    EXPECT_EQ(scaled(22, 1.25), 27);  // truncated
}

TEST(UiGeometry, EnterScrollingAndBusyControls) {
    const struct {
        int page, focused, target;
    } enter[] = {{0, 0, 0}, {0, RestoreButton, RestoreButton}, {1, 0, SaveButton}, {1, ResetButton, ResetButton},
                 {2, 0, ContinueButton}, {3, 0, CancelButton}};
    for (const auto& e : enter) EXPECT_EQ(enterTarget(e.page, e.focused), e.target) << e.page << "/" << e.focused;
    const struct {
        int scroll, top, bottom, target;
    } shows[] = {{0, 100, 150, 0},    {0, 500, 550, 162}, {300, 100, 150, 88},
                 {0, 500, 1000, 488}, {100, 5, 50, 0},   {0, 12, 1000, 0}};
    for (const auto& c : shows) EXPECT_EQ(scrollToShow(c.scroll, c.top, c.bottom, 400, 12), c.target) << c.top;
    // What a running operation or download disables: the actions, the language and the update button.
    const int busy[] = {EnableButton, CustomizeButton, DisableButton, WindowsSettingsButton, AboutButton, LanguageBox,
                        NetworkModeButton, ConfigurationButton, RestoreButton, UpdateButton};
    for (int id = EnableButton - 1; id <= StatusCard + 1; ++id) {
        EXPECT_EQ(busyControl(id), std::find(std::begin(busy), std::end(busy), id) != std::end(busy)) << id;
    }
}

}  // namespace
}  // namespace calmlane
