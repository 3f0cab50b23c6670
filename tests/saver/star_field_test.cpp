// Star arithmetic on fixed values, the overlay's placement, and frames drawn into memory.
#include "saver/star_field.h"

#include <gtest/gtest.h>

#include "app/globals.h"
#include "reference_frame.h"
#include "saver/saver.h"
#include "support/gdi_probe.h"

namespace calmlane {
namespace {

using test::PixelSurface;

TEST(StarArithmetic, ANearStarIsRebornFarAwayAndNotDrawn) {
    EXPECT_FLOAT_EQ(nextDepth(0.03f, 5), 0.0235f);
    EXPECT_LT(nextDepth(0.03f, 5), NearLimit);

    PixelSurface surface(200, 100);
    surface.clear(RGB(0, 0, 0));
    std::vector<Star> stars = {{0.1f, 0.1f, 0.03f}};
    StarRandom random(7);
    PenCache pens;
    drawStars(surface.dc(), stars, fieldGeometry(200, 100), {5, RGB(255, 255, 255)}, random, pens);
    EXPECT_EQ(stars[0].z, 1.0f);
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 200; ++x) ASSERT_EQ(surface.pixel(x, y), RGB(0, 0, 0));
    }
}

TEST(StarArithmetic, BrightnessAndPenFollowDepth) {
    EXPECT_EQ(brightness(0.29f), 1.0f);
    EXPECT_EQ(brightness(0.025f), 1.0f);
    EXPECT_NEAR(brightness(0.999f), 0.3f, 0.002f);
    EXPECT_EQ(brightness(1.2f), 0.15f);
    EXPECT_EQ(penColor(RGB(200, 228, 255), 1.0f), RGB(200, 228, 255));
    EXPECT_EQ(penColor(RGB(200, 228, 255), 0.5f), RGB(100, 114, 127));  // truncated, per byte
    EXPECT_EQ(penColor(0x00FFFFFF, 0.15f), RGB(38, 38, 38));
    EXPECT_EQ(penWidth(0.2499f), 2);
    EXPECT_EQ(penWidth(0.25f), 1);
}

TEST(StarArithmetic, AStarOnTheAxisIsOnePixelAtTheCentre) {
    PixelSurface surface(101, 81);
    surface.clear(RGB(0, 0, 0));
    std::vector<Star> stars = {{0.0f, 0.0f, 0.5f}};
    StarRandom random(1);
    PenCache pens;
    const FieldGeometry g = fieldGeometry(101, 81);
    EXPECT_EQ(g.cx, 50.0f);
    EXPECT_EQ(g.cy, 40.0f);
    drawStars(surface.dc(), stars, g, {5, RGB(255, 0, 0)}, random, pens);
    int lit = 0;
    for (int y = 0; y < 81; ++y) {
        for (int x = 0; x < 101; ++x) lit += surface.pixel(x, y) != RGB(0, 0, 0);
    }
    EXPECT_EQ(lit, 1);
    // z = 0.5 - 5 × 0.0013 = 0.4935; brightness 1.3 - z = 0.8065; 255 × 0.8065 = 205.66, truncated.
    EXPECT_EQ(surface.pixel(50, 40), RGB(205, 0, 0));
}

TEST(StarArithmetic, AStreakRunsFromTheOldToTheNewProjection) {
    PixelSurface surface(400, 300);
    surface.clear(RGB(0, 0, 0));
    // Close (z below 0.25): a 2-pixel pen at full brightness.
    std::vector<Star> stars = {{0.1f, 0.0f, 0.2f}};
    StarRandom random(1);
    PenCache pens;
    // s = 300 × 0.65 = 195, centre 200: from 0.1 × 195 / 0.2 + 200 = 297.5 to 0.1 × 195 / 0.1844 + 200 = 305.7.
    const int from = 297;
    const int to = 305;
    drawStars(surface.dc(), stars, fieldGeometry(400, 300), {12, RGB(10, 200, 30)}, random, pens);
    for (int x = from; x <= to; ++x) EXPECT_EQ(surface.pixel(x, 150), RGB(10, 200, 30)) << x;
    EXPECT_EQ(surface.pixel(to + 3, 150), RGB(0, 0, 0));
}

TEST(Overlay, PlacementSweepsUpAndDownTheField) {
    EXPECT_EQ(overlayTop(1080, 16, 0), 1032);
    EXPECT_EQ(overlayTop(1080, 16, 4999), 1032);
    EXPECT_EQ(overlayTop(1080, 16, 5000), 1004);
    EXPECT_EQ(overlayTop(1080, 16, 180000), 24);
    EXPECT_EQ(overlayTop(1080, 16, 185000), 52);   // and back down
    EXPECT_EQ(overlayTop(1080, 16, 360000), 1032);  // a full sweep takes 2n × 5 s
    EXPECT_EQ(overlayTop(60, 16, 123456), 24);      // too little room: fixed at the top
    EXPECT_EQ(overlayTop(1080, 0, 0), overlayTop(1080, 1, 0));
    EXPECT_EQ(overlayMeasureWidth(40), 1);
    EXPECT_EQ(overlayMeasureWidth(1920), 1872);
}

TEST(Overlay, TextEndsWithTheStateOfThePause) {
    settings.language = 1;
    EXPECT_EQ(overlayText(false, true), L"Calmlane : 1.1.3 : Calmlane team  |  Esc");
    EXPECT_EQ(overlayText(true, false), L"Calmlane : 1.1.3 : Calmlane team  |  Esc  |  Journey through space");
    const std::wstring unconfirmed = overlayText(false, false);
    const std::wstring ending = L"  |  Esc  |  The connection was not suspended. Check that the Calmlane service is "
                                L"installed and running.";
    ASSERT_GT(unconfirmed.size(), ending.size());
    EXPECT_EQ(unconfirmed.substr(unconfirmed.size() - ending.size()), ending);
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
    const auto fields = monitorFields(monitors, POINT{-1280, -200});
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0].left, 1280);
    EXPECT_EQ(fields[0].top, 200);
    EXPECT_EQ(fields[1].left, 0);
    EXPECT_EQ(fields[1].top, 256);
    EXPECT_EQ(fields[2].right, 5760);
    EXPECT_EQ(fields[2].bottom, 1440);
}

TEST(Displays, MouseJitterIsMeasuredInScreenCoordinates) {
    EXPECT_FALSE(mouseMovedBeyondJitter({-1000, -50}, {-996, -46}));
    EXPECT_TRUE(mouseMovedBeyondJitter({-1000, -50}, {-995, -50}));
    EXPECT_TRUE(mouseMovedBeyondJitter({10, 10}, {10, 15}));
    EXPECT_FALSE(mouseMovedBeyondJitter({10, 10}, {6, 14}));
}

}  // namespace
}  // namespace calmlane
