// Star-field frame cost, straightforward form against the production form, in one run.
// Renders at 1920 × 1080 and 3840 × 2160 with densities 260 and 600 into a 32-bit surface that stands
// for the window, and checks on a fixed seed that after every frame the surface shows exactly what the
// straightforward frame shows, across overlay moves, a colour change and a resize. Prints the median
// milliseconds per frame of each form and their ratio. Exit code 1 when a pixel differs.
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

// The same field for both forms: a saver and the straightforward form's stars, from one seed.
struct Scene {
    Scene(int w, int h, long density) : rect{0, 0, w, h}, saver(Seed), random(Seed) {
        settings = Settings();
        settings.density = density;
        saver.addField(rect);
        for (long i = 0; i < density; ++i) stars.push_back(random.newStar());
    }
    RECT rect;
    const std::wstring overlay = overlayText(true, false);
    Saver saver;
    StarRandom random;
    std::vector<Star> stars;
    OverlayFonts referenceFonts;  // the straightforward form's own, made like the saver's
    HFONT referenceFont() { return referenceFonts.font(USER_DEFAULT_SCREEN_DPI); }
};

// Both forms draw the same frames; after each one the two surfaces must agree pixel for pixel.
bool sameFrames(int w, int h, long density) {
    Scene scene(w, h, density);
    RECT& rect = scene.rect;
    Saver& saver = scene.saver;

    test::PixelSurface window(w, h), reference(w, h);
    if (window.bits() == nullptr || reference.bits() == nullptr) return false;
    const std::size_t bytes = static_cast<std::size_t>(w) * h * 4;
    for (int i = 0; i < CheckedFrames; ++i) {
        if (i == CheckedFrames / 3) settings.color = RGB(255, 120, 40);
        if (i == 2 * CheckedFrames / 3) {
            rect = {0, 0, w - 200, h - 120};  // the field shrinks, as after a display change
            saver.fields.front().rect = rect;
        }
        const std::uint64_t elapsed = static_cast<std::uint64_t>(i) * 1700;  // the overlay moves every 5 s
        saver.frameAt(window.dc(), i == 0, elapsed);
        reference::frame(reference.dc(), rect, scene.stars, {settings.speed, settings.color}, scene.random,
                         &scene.overlay, elapsed, scene.referenceFont());
        GdiFlush();
        if (std::memcmp(window.bits(), reference.bits(), bytes) != 0) {
            std::printf("frame %d differs\n", i);
            return false;
        }
    }
    return true;
}

Result measure(int w, int h, long density) {
    Result result = {0, 0, sameFrames(w, h, density)};
    Scene scene(w, h, density);
    const RECT rect = scene.rect;
    const std::wstring& overlay = scene.overlay;
    Saver& saver = scene.saver;
    StarRandom& random = scene.random;
    std::vector<Star>& stars = scene.stars;
    const FrameSettings frame = {settings.speed, settings.color};
    test::PixelSurface window(w, h), reference(w, h);

    std::vector<double> times;
    for (int i = 0; i < WarmupFrames + TimedFrames; ++i) {
        const double start = nowMs();
        reference::frame(reference.dc(), rect, stars, frame, random, &overlay, 0, scene.referenceFont());
        GdiFlush();
        if (i >= WarmupFrames) times.push_back(nowMs() - start);
    }
    result.straightforward = median(times);
    times.clear();
    for (int i = 0; i < WarmupFrames + TimedFrames; ++i) {
        const double start = nowMs();
        saver.frameAt(window.dc(), i == 0, static_cast<std::uint64_t>(i) * 16);
        GdiFlush();
        if (i >= WarmupFrames) times.push_back(nowMs() - start);
    }
    result.production = median(times);
    return result;
}

// Where a production frame's time goes: clearing the last frame, drawing the stars, the overlay, and
// the copy of what changed to the window.
void phases(int w, int h, long density) {
    Scene scene(w, h, density);
    StarField& field = scene.saver.fields.front();
    const FrameSettings frame = {settings.speed, settings.color};
    test::PixelSurface window(w, h);
    std::vector<double> clear, stars, overlay, copy;
    for (int i = 0; i < WarmupFrames + TimedFrames; ++i) {
        scene.saver.pens.beginFrame(frame.color);
        const double t0 = nowMs();
        HDC memory = field.surface.begin(window.dc(), w, h);
        GdiFlush();
        const double t1 = nowMs();
        drawStars(memory, field.stars, fieldGeometry(w, h), frame, scene.saver.random, scene.saver.pens,
                  &field.surface.drawn());
        GdiFlush();
        const double t2 = nowMs();
        field.surface.overlay(drawOverlay(memory, w, h, scene.overlay, static_cast<std::uint64_t>(i) * 16,
                                          scene.saver.fonts.font(USER_DEFAULT_SCREEN_DPI)),
                              scene.overlay);
        GdiFlush();
        const double t3 = nowMs();
        field.surface.present(window.dc(), 0, 0, i == 0);
        GdiFlush();
        const double t4 = nowMs();
        if (i < WarmupFrames) continue;
        clear.push_back(t1 - t0);
        stars.push_back(t2 - t1);
        overlay.push_back(t3 - t2);
        copy.push_back(t4 - t3);
    }
    std::printf("%4dx%-7d %8ld  clear %.3f  stars %.3f  overlay %.3f  copy %.3f\n", w, h, density, median(clear),
                median(stars), median(overlay), median(copy));
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
    std::printf("\nproduction frame by phase (ms, median)\n");
    for (const auto& size : sizes) {
        for (long density : {260L, 600L}) phases(size.w, size.h, density);
    }
    if (!allIdentical) {
        std::printf("FAILED: the production frame does not match the straightforward frame\n");
        return 1;
    }
    return 0;
}
