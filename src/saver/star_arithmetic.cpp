#include "saver/star_arithmetic.h"

#include <algorithm>

namespace calmlane {

StarRandom::StarRandom() : engine_(std::random_device{}()) {}

Star StarRandom::newStar() {
    Star star;
    star.x = position();
    star.y = position();
    star.z = depth();
    return star;
}

void StarRandom::rebirth(Star& star) {
    star.x = position();
    star.y = position();
    star.z = 1.0f;
}

float nextDepth(float z0, long speed) { return z0 + static_cast<float>(speed) * -0.0013f; }

float brightness(float z) { return std::clamp(1.3f - z, 0.15f, 1.0f); }

std::uint32_t penColor(std::uint32_t color, float b) {
    const auto scaled = [b](std::uint32_t channel) {
        const int value = static_cast<int>(static_cast<float>(channel & 0xFF) * b);
        return static_cast<std::uint32_t>(static_cast<std::uint8_t>(value));
    };
    return scaled(color) | scaled(color >> 8) << 8 | scaled(color >> 16) << 16;
}

int penWidth(float z) { return z < 0.25f ? 2 : 1; }

FieldGeometry fieldGeometry(int w, int h) {
    return {w, h, static_cast<float>(std::min(w, h)) * 0.65f, static_cast<float>(w / 2), static_cast<float>(h / 2)};
}

int overlayMeasureWidth(int w) { return std::max(w, 49) - 48; }

int overlayTop(int h, int textHeight, std::uint64_t elapsedMs) {
    const int height = std::max(textHeight, 1);
    const int step = std::max(textHeight, 28);
    const int range = std::max(h - 12 - height, 24) - 24;
    if (step > range) return 24;
    const std::int64_t n = range / step;
    const std::int64_t m = static_cast<std::int64_t>((elapsedMs / 5000) % static_cast<std::uint64_t>(2 * n));
    const std::int64_t distance = n > m ? n - m : m - n;  // signed: the text climbs, then descends
    return static_cast<int>(distance * step + 24);
}

}  // namespace calmlane
