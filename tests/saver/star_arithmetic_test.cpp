// Star arithmetic on fixed values: the draws, one step of a star, its projection and pen, and where the
// overlay goes (the frames drawn from it are checked in star_field_test.cpp); and when input ends the saver.
#include "saver/star_arithmetic.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "saver/input_watch.h"

namespace calmlane {
namespace {

// Seeded, a saver's picture is reproducible: each star takes x, y, then its depth from the one engine.
TEST(StarArithmetic, StarsDrawXThenYThenDepthWithinTheirRanges) {
    StarRandom random(7), replay(7);
    for (int i = 0; i < 1000; ++i) {
        const Star star = random.newStar();
        ASSERT_EQ(star.x, replay.position());
        ASSERT_EQ(star.y, replay.position());
        ASSERT_EQ(star.z, replay.depth());
        ASSERT_TRUE(star.x >= -1.0f && star.x <= 1.0f && star.z >= 0.05f && star.z <= 1.0f) << i;
    }
    Star reborn = {0.0f, 0.0f, 0.02f};
    random.rebirth(reborn);
    EXPECT_EQ(reborn.x, replay.position());
    EXPECT_EQ(reborn.y, replay.position());
    EXPECT_EQ(reborn.z, 1.0f);
}

TEST(StarArithmetic, DepthBrightnessAndPen) {
    EXPECT_FLOAT_EQ(nextDepth(0.03f, 5), 0.0235f);
    EXPECT_LT(nextDepth(0.03f, 5), NearLimit);
    const struct { float z, brightness; int pen; } depths[] = {
        {0.025f, 1.0f, 2}, {0.2499f, 1.0f, 2}, {0.25f, 1.0f, 1}, {0.999f, 0.301f, 1}, {1.2f, 0.15f, 1}};
    for (const auto& row : depths) {
        EXPECT_NEAR(brightness(row.z), row.brightness, 0.0001f) << row.z;
        EXPECT_EQ(penWidth(row.z), row.pen) << row.z;
    }
    // Each COLORREF channel (0x00BBGGRR) scaled on its own and truncated.
    const struct { std::uint32_t color; float b; std::uint32_t expected; } colours[] = {
        {0x0064E4C8, 1.0f, 0x0064E4C8}, {0x0064E4C8, 0.5f, 0x00327264}, {0x00FFFFFF, 0.15f, 0x00262626}};
    for (const auto& row : colours) EXPECT_EQ(penColor(row.color, row.b), row.expected) << row.b;
}

TEST(StarArithmetic, FieldsProjectAroundTheirCentre) {
    const FieldGeometry odd = fieldGeometry(101, 81);
    EXPECT_EQ(odd.cx, 50.0f);
    EXPECT_EQ(odd.cy, 40.0f);
    EXPECT_FLOAT_EQ(odd.s, 81 * 0.65f);
    const FieldGeometry g = fieldGeometry(400, 300);  // s = 300 × 0.65 = 195
    EXPECT_FLOAT_EQ(projectX({0.1f, -0.2f, 0.0f}, 0.2f, g), 297.5f);
    EXPECT_FLOAT_EQ(projectY({0.1f, -0.2f, 0.0f}, 0.2f, g), -45.0f);
    const struct { float x, y; bool outside; } points[] = {
        {0, 0, false}, {400, 300, false}, {-0.1f, 5, true}, {5, -0.1f, true}, {400.1f, 5, true}, {5, 300.1f, true}};
    for (const auto& p : points) EXPECT_EQ(outside(p.x, p.y, g), p.outside) << p.x << ", " << p.y;
}

TEST(Overlay, PlacementSweepsUpAndDownTheField) {
    const struct { int h, textHeight; std::uint64_t elapsedMs; int top; } rows[] = {
        {1080, 16, 0, 1032},     {1080, 16, 4999, 1032},
        {1080, 16, 5000, 1004},  // one 28-pixel step every 5 s
        {1080, 16, 180000, 24},  {1080, 16, 185000, 52},  // and back down
        {1080, 16, 365000, 1004},  // a full sweep takes 2n × 5 s
        {1080, 40, 5000, 984},     // a taller text steps by its height
        {60, 16, 123456, 24},      // too little room: fixed at the top
        {64, 0, 0, 24}, {65, 0, 0, 52},  // an empty text counts one pixel high: one step short of room, then one
    };
    for (const auto& row : rows) {
        EXPECT_EQ(overlayTop(row.h, row.textHeight, row.elapsedMs), row.top) << row.h << " " << row.elapsedMs;
    }
    EXPECT_EQ(overlayMeasureWidth(40), 1);
    EXPECT_EQ(overlayMeasureWidth(1920), 1872);
}

TEST(SaverInput, TheReferenceIsTheFirstReadAtOrAfter501Ms) {
    const struct {
        const char* name;
        std::vector<std::tuple<std::uint64_t, bool, std::uint32_t>> ticks;  // since start, read, last input
        bool endsAtLast;
    } rows[] = {
        {"key release at 100 ms is before the reference", {{150, true, 1100}, {300, true, 1100}, {600, true, 1100},
                                                           {750, true, 1100}}, false},
        {"input at 500 ms is still ignored", {{500, true, 1500}, {650, true, 1500}}, false},
        {"the reference tick itself never ends, the next change does", {{501, true, 9000}, {651, true, 9001}}, true},
        {"any later change ends it", {{510, true, 1000}, {660, true, 1001}}, true},
        {"an unreadable time changes nothing", {{520, true, 1000}, {670, false, 0}, {820, false, 5}}, false},
        {"an unreadable first tick defers the reference", {{520, false, 0}, {670, true, 1200}, {820, true, 1200}},
         false},
        {"a change after a deferred reference ends it", {{520, false, 0}, {670, true, 1200}, {820, true, 1201}}, true},
    };
    for (const auto& row : rows) {
        InputWatch watch;
        bool ended = false;
        for (std::size_t i = 0; i < row.ticks.size(); ++i) {
            const auto& [since, read, last] = row.ticks[i];
            ended = watch.ends(since, read, last);
            if (i + 1 < row.ticks.size()) {
                EXPECT_FALSE(ended) << row.name << " at tick " << i;
            }
        }
        EXPECT_EQ(ended, row.endsAtLast) << row.name;
    }
}

}  // namespace
}  // namespace calmlane
