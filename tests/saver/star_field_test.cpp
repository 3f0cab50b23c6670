// Stars and the overlay drawn into memory, whole frames against the straightforward ones, and the
// displays' fields (the arithmetic is checked in star_arithmetic_test.cpp).
#include "saver/star_field.h"

#include <gtest/gtest.h>

#include <memory>

#include "app/constants.h"
#include "app/globals.h"
#include "app/localization.h"
#include "reference_frame.h"
#include "saver/saver.h"
#include "support/gdi_probe.h"

namespace calmlane {
namespace {

using test::PixelSurface;

// One step of one star drawn into a black field of w × h; the star is moved.
std::unique_ptr<PixelSurface> drawOne(int w, int h, Star& star, long speed, COLORREF colour) {
    auto surface = std::make_unique<PixelSurface>(w, h);
    surface->clear(RGB(0, 0, 0));
    std::vector<Star> stars = {star};
    StarRandom random(1);
    PenCache pens;
    drawStars(surface->dc(), stars, fieldGeometry(w, h), {speed, colour}, random, pens);
    star = stars[0];
    return surface;
}

int litPixels(const PixelSurface& surface) {
    int lit = 0;
    for (int y = 0; y < surface.height(); ++y) {
        for (int x = 0; x < surface.width(); ++x) lit += surface.pixel(x, y) != RGB(0, 0, 0);
    }
    return lit;
}

TEST(StarDrawing, NearStarsAreRebornUndrawnAndOthersDrawnFromTheOldToTheNewProjection) {
    Star tooNear = {0.1f, 0.1f, 0.03f};
    EXPECT_EQ(litPixels(*drawOne(200, 100, tooNear, 5, RGB(255, 255, 255))), 0);
    EXPECT_EQ(tooNear.z, 1.0f);
    // On the axis, one pixel: z = 0.5 - 5 × 0.0013 = 0.4935; brightness 1.3 - z = 0.8065; 255 × 0.8065 = 205.66,
    // truncated.
    Star axis = {0.0f, 0.0f, 0.5f};
    const auto centre = drawOne(101, 81, axis, 5, RGB(255, 0, 0));
    EXPECT_EQ(litPixels(*centre), 1);
    EXPECT_EQ(centre->pixel(50, 40), RGB(205, 0, 0));
    // Close (z below 0.25): a 2-pixel pen at full brightness. s = 300 × 0.65 = 195, centre 200: from
    // 0.1 × 195 / 0.2 + 200 = 297.5 to 0.1 × 195 / 0.1844 + 200 = 305.7.
    Star closeBy = {0.1f, 0.0f, 0.2f};
    const auto streak = drawOne(400, 300, closeBy, 12, RGB(10, 200, 30));
    for (int x = 297; x <= 305; ++x) EXPECT_EQ(streak->pixel(x, 150), RGB(10, 200, 30)) << x;
    EXPECT_EQ(streak->pixel(308, 150), RGB(0, 0, 0));
}

// The preview names the journey; a full-screen saver whose pause the service did not confirm says so.
TEST(Overlay, TextEndsWithTheStateOfThePause) {
    settings.language = 1;
    const std::wstring confirmed = overlayText(false, true);
    EXPECT_EQ(confirmed, L"Calmlane : " + std::wstring(Version) + L" : Calmlane team  |  Esc");
    const std::wstring journey = confirmed + L"  |  " + text("dialog.journey");
    EXPECT_EQ(overlayText(true, false), journey);
    EXPECT_EQ(overlayText(true, true), journey);
    EXPECT_EQ(overlayText(false, false), confirmed + L"  |  " + text("saver.networkNotSuspended"));
    settings.language = 0;
}

// The stock bitmap font neither scales nor links to CJK faces.
TEST(Overlay, ATrueTypeUiFontPerDpiMadeOnce) {
    PixelSurface surface(8, 8);
    OverlayFonts fonts;
    int heights[2] = {};
    const UINT dpis[] = {96, 192};
    for (int i = 0; i < 2; ++i) {
        const HFONT font = fonts.font(dpis[i]);
        ASSERT_NE(font, nullptr);
        EXPECT_EQ(fonts.font(dpis[i]), font) << "made once";
        const ScopedSelection selected(surface.dc(), font);
        TEXTMETRICW metrics = {};
        ASSERT_TRUE(GetTextMetricsW(surface.dc(), &metrics));
        EXPECT_TRUE(metrics.tmPitchAndFamily & TMPF_TRUETYPE) << dpis[i];
        heights[i] = metrics.tmHeight;
    }
    EXPECT_NEAR(heights[1], 2 * heights[0], 2);
}

// The window must show after every frame exactly what the straightforward frame shows, although only
// the changed places are copied: across overlay moves, a colour change and a first full copy.
TEST(Frames, ProductionFramesMatchTheStraightforwardOnesPixelForPixel) {
    settings.density = 600;
    settings.speed = 12;
    settings.color = RGB(255, 228, 200);
    Saver saver(99);
    saver.addField(RECT{0, 0, 320, 200});
    saver.addField(RECT{320, 0, 480, 200});
    StarRandom random(99);
    std::vector<Star> left, right;
    for (int i = 0; i < 600; ++i) left.push_back(random.newStar());
    for (int i = 0; i < 600; ++i) right.push_back(random.newStar());
    PixelSurface production(480, 200), reference(480, 200);
    OverlayFonts referenceFonts;  // made like the saver's own
    const HFONT font = referenceFonts.font(USER_DEFAULT_SCREEN_DPI);
    for (int frame = 0; frame < 60; ++frame) {
        if (frame == 30) settings.color = RGB(90, 200, 255);
        const std::uint64_t elapsed = static_cast<std::uint64_t>(frame) * 900;  // a new overlay slot every 5 s
        saver.frameAt(production.dc(), frame == 0, elapsed);
        const std::wstring overlay = overlayText(true, false);
        reference::frame(reference.dc(), RECT{0, 0, 320, 200}, left, {12, settings.color}, random, &overlay, elapsed,
                         font);
        reference::frame(reference.dc(), RECT{320, 0, 480, 200}, right, {12, settings.color}, random, &overlay,
                         elapsed, font);
        GdiFlush();
        ASSERT_EQ(0, memcmp(production.bits(), reference.bits(), 480 * 200 * 4)) << "frame " << frame;
    }
    settings = Settings();
}

TEST(Frames, FiveHundredFramesLeaveNoGdiObjectBehind) {
    Saver saver(5);
    saver.addField(RECT{0, 0, 300, 200});
    saver.addField(RECT{300, 0, 400, 200});
    saver.addField(RECT{0, 0, 0, 0});  // empty: skipped
    PixelSurface surface(400, 200);
    for (int frame = 0; frame < 100; ++frame) saver.frame(surface.dc(), false);  // the pen cache fills up
    const unsigned before = test::gdiHighWater();
    for (int frame = 0; frame < 500; ++frame) saver.frame(surface.dc(), frame % 50 == 0);
    const unsigned after = test::gdiHighWater();
    // One object lost per frame would show as 500 more; a few late cache entries are fine.
    EXPECT_LE(after, before + 50) << "before " << before << ", after " << after;
    // Colour changes start the pen cache afresh instead of growing it.
    for (int frame = 0; frame < 50; ++frame) {
        settings.color = RGB(frame * 5, 255 - frame * 5, 128);
        saver.frame(surface.dc(), false);
        ASSERT_LE(saver.pens.size(), 1024u);
    }
    settings = Settings();
}

TEST(Displays, EveryMonitorGetsItsOwnFieldInClientCoordinates) {
    // Three monitors, one left of the primary: the window starts at the virtual screen's left edge.
    const std::vector<RECT> monitors = {{0, 0, 1920, 1080}, {-1280, 56, 0, 1080}, {1920, -200, 4480, 1240}};
    const RECT expected[] = {{1280, 200, 3200, 1280}, {0, 256, 1280, 1280}, {3200, 0, 5760, 1440}};
    const auto fields = monitorFields(monitors, POINT{-1280, -200});
    ASSERT_EQ(fields.size(), 3u);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(EqualRect(&fields[i], &expected[i])) << i;
}

TEST(Displays, MouseJitterIsMeasuredInScreenCoordinates) {
    const struct {
        POINT start, cursor;
        bool moved;
    } rows[] = {{{-1000, -50}, {-996, -46}, false}, {{-1000, -50}, {-995, -50}, true}, {{10, 10}, {10, 15}, true},
                {{10, 10}, {6, 14}, false}};
    for (const auto& row : rows) EXPECT_EQ(mouseMovedBeyondJitter(row.start, row.cursor), row.moved) << row.cursor.x;
}

}  // namespace
}  // namespace calmlane
