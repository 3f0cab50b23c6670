// Star-field frame cost, straightforward form against the production form, in one run.
// Renders into a 32-bit memory surface at 1920 × 1080 and 3840 × 2160 with densities 260 and 600,
// checks on a fixed seed that both forms give the same pixels, and prints the median milliseconds per
// frame of each and their ratio. Exit code 1 when a pixel differs.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/globals.h"
#include "reference_frame.h"
#include "saver/saver.h"
#include "support/gdi_probe.h"

namespace {

using namespace calmlane;

double nowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

constexpr std::uint32_t Seed = 20261206;
constexpr int CheckedFrames = 30;
constexpr int WarmupFrames = 5;
constexpr int TimedFrames = 40;

struct Result {
    double straightforward, production;
    bool identical;
};

Result measure(int w, int h, long density) {
    settings = Settings();
    settings.density = density;
    const RECT rect = {0, 0, w, h};
    const std::wstring overlay = overlayText(true, false);

    Saver saver(Seed);
    saver.addField(rect);
    StarRandom random(Seed);
    std::vector<Star> stars;
    for (long i = 0; i < density; ++i) stars.push_back(random.newStar());
    const FrameSettings frame = {settings.speed, settings.color};

    test::PixelSurface production(w, h), reference(w, h);
    const std::size_t bytes = static_cast<std::size_t>(w) * h * 4;
    Result result = {0, 0, production.bits() != nullptr && reference.bits() != nullptr};
    // Same seed, same frames: every pixel must agree (the overlay is kept in its first 5-second slot).
    for (int i = 0; i < CheckedFrames && result.identical; ++i) {
        saver.startTicks = GetTickCount64();
        saver.frame(production.dc());
        reference::frame(reference.dc(), rect, stars, frame, random, &overlay, 0);
        GdiFlush();
        result.identical = std::memcmp(production.bits(), reference.bits(), bytes) == 0;
    }

    std::vector<double> times;
    for (int i = 0; i < WarmupFrames + TimedFrames; ++i) {
        const double start = nowMs();
        reference::frame(reference.dc(), rect, stars, frame, random, &overlay, 0);
        GdiFlush();
        if (i >= WarmupFrames) times.push_back(nowMs() - start);
    }
    result.straightforward = median(times);
    times.clear();
    for (int i = 0; i < WarmupFrames + TimedFrames; ++i) {
        const double start = nowMs();
        saver.frame(production.dc());
        GdiFlush();
        if (i >= WarmupFrames) times.push_back(nowMs() - start);
    }
    result.production = median(times);
    return result;
}

}  // namespace

int main() {
    std::printf("star-field frame, median of %d frames (ms per frame)\n", TimedFrames);
    std::printf("%-12s %8s %16s %12s %8s %s\n", "size", "density", "straightforward", "production", "ratio",
                "pixels");
    bool allIdentical = true;
    const struct {
        int w, h;
    } sizes[] = {{1920, 1080}, {3840, 2160}};
    for (const auto& size : sizes) {
        for (long density : {260L, 600L}) {
            const Result r = measure(size.w, size.h, density);
            allIdentical = allIdentical && r.identical;
            std::printf("%4dx%-7d %8ld %16.3f %12.3f %7.2fx %s\n", size.w, size.h, density, r.straightforward,
                        r.production, r.straightforward / r.production, r.identical ? "identical" : "DIFFER");
        }
    }
    if (!allIdentical) {
        std::printf("FAILED: the production frame does not match the straightforward frame\n");
        return 1;
    }
    return 0;
}
