#pragma once
// The star field's arithmetic (single precision, as drawn): the random draws, one step of a star, its
// projection and pen, and the overlay's placement. Plain numbers, free of <windows.h>.
#include <cstdint>
#include <random>

namespace calmlane {

struct Star {
    float x;
    float y;
    float z;
};

// One engine per saver, seeded once; every field draws from it.
class StarRandom {
public:
    StarRandom();  // seeded from the system's random device
    explicit StarRandom(std::uint32_t seed) : engine_(seed) {}
    float uniform() { return static_cast<float>(engine_()) * 2.3283064365386963e-10f; }  // × 2^-32
    float position() { return -1.0f + 2.0f * uniform(); }
    float depth() { return 0.05f + 0.95f * uniform(); }
    Star newStar();     // x, y, then z
    void rebirth(Star& star);  // x, y; z = 1

private:
    std::mt19937 engine_;
};

// Star arithmetic of one frame step.
inline constexpr float NearLimit = 0.025f;
float nextDepth(float z0, long speed);
float brightness(float z);
// A COLORREF (0x00BBGGRR) with each channel scaled by b and truncated.
std::uint32_t penColor(std::uint32_t color, float b);
int penWidth(float z);

struct FieldGeometry {
    int w, h;
    float s, cx, cy;
};
FieldGeometry fieldGeometry(int w, int h);
// Projected coordinate of a star at depth z.
inline float projectX(const Star& star, float z, const FieldGeometry& g) { return star.x * g.s / z + g.cx; }
inline float projectY(const Star& star, float z, const FieldGeometry& g) { return star.y * g.s / z + g.cy; }
inline bool outside(float px, float py, const FieldGeometry& g) { return px < 0 || py < 0 || px > g.w || py > g.h; }

// Overlay placement: the measuring width for a field w pixels wide, and the text's top for a field h
// pixels high, a measured text height, and the time since the saver started.
int overlayMeasureWidth(int w);
int overlayTop(int h, int textHeight, std::uint64_t elapsedMs);

}  // namespace calmlane
