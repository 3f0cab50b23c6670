#include "saver/star_field.h"

#include <algorithm>

#include "app/constants.h"
#include "app/localization.h"

namespace calmlane {

namespace {

constexpr COLORREF OverlayColor = RGB(150, 170, 195);
constexpr std::size_t PenCacheLimit = 1024;

BYTE scaled(BYTE channel, float b) { return static_cast<BYTE>(static_cast<int>(static_cast<float>(channel) * b)); }

}  // namespace

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

COLORREF penColor(COLORREF color, float b) {
    return RGB(scaled(GetRValue(color), b), scaled(GetGValue(color), b), scaled(GetBValue(color), b));
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

std::wstring overlayText(bool previewOnly, bool pauseConfirmed) {
    std::wstring text = std::wstring(Product) + L" : " + Version + L" : Calmlane team  |  Esc";
    if (previewOnly) return text + L"  |  " + calmlane::text("dialog.journey");
    if (!pauseConfirmed) return text + L"  |  " + calmlane::text("saver.networkNotSuspended");
    return text;
}

FrameSurface::~FrameSurface() { release(); }

HDC FrameSurface::begin(HDC dc, int w, int h) {
    if (!memory_) {
        memory_.reset(CreateCompatibleDC(dc));
        if (!memory_) return nullptr;
    }
    if (!bitmap_ || w != w_ || h != h_) {
        if (originalBitmap_) SelectObject(memory_.get(), originalBitmap_);
        originalBitmap_ = nullptr;
        bitmap_.reset(CreateCompatibleBitmap(dc, w, h));
        if (!bitmap_) return nullptr;
        originalBitmap_ = SelectObject(memory_.get(), bitmap_.get());
        if (!originalBitmap_ || originalBitmap_ == HGDI_ERROR) {
            originalBitmap_ = nullptr;
            bitmap_.reset();
            return nullptr;
        }
        w_ = w;
        h_ = h;
        const RECT all = {0, 0, w, h};
        FillRect(memory_.get(), &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    } else {
        // Only the last frame's strokes and overlay are not black.
        for (const RECT& rect : drawn_) FillRect(memory_.get(), &rect, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    }
    drawn_.clear();
    return memory_.get();
}

void FrameSurface::release() {
    if (memory_ && originalBitmap_) SelectObject(memory_.get(), originalBitmap_);
    originalBitmap_ = nullptr;
    bitmap_.reset();
    memory_.reset();
    w_ = h_ = 0;
    drawn_.clear();
}

void PenCache::beginFrame(COLORREF baseColor) {
    if (baseColor != base_ || pens_.size() >= PenCacheLimit) pens_.clear();
    base_ = baseColor;
}

HPEN PenCache::pen(COLORREF color, int width) {
    const std::uint32_t key = (color & 0x00FFFFFF) | (static_cast<std::uint32_t>(width) << 24);
    const auto found = pens_.find(key);
    if (found != pens_.end()) return static_cast<HPEN>(found->second.get());
    HPEN created = CreatePen(PS_SOLID, width, color);
    if (created) pens_.emplace(key, UniqueGdiObject(created));
    return created;
}

void drawStars(HDC memory, std::vector<Star>& stars, const FieldGeometry& g, const FrameSettings& frame,
               StarRandom& random, PenCache& pens, std::vector<RECT>* drawn) {
    HGDIOBJ originalPen = GetCurrentObject(memory, OBJ_PEN);
    HPEN selected = nullptr;
    for (Star& star : stars) {
        const float z0 = star.z;
        const float z = nextDepth(z0, frame.speed);
        star.z = z;
        if (z < NearLimit) {
            random.rebirth(star);
            continue;
        }
        const float px = projectX(star, z, g);
        const float py = projectY(star, z, g);
        if (outside(px, py, g)) {
            random.rebirth(star);
            continue;
        }
        const COLORREF color = penColor(frame.color, brightness(z));
        HPEN pen = pens.pen(color, penWidth(z));
        if (!pen) continue;
        if (pen != selected) {
            SelectObject(memory, pen);
            selected = pen;
        }
        const int x0 = static_cast<int>(projectX(star, z0, g));
        const int y0 = static_cast<int>(projectY(star, z0, g));
        const int x1 = static_cast<int>(px);
        const int y1 = static_cast<int>(py);
        MoveToEx(memory, x0, y0, nullptr);
        LineTo(memory, x1, y1);
        SetPixel(memory, x1, y1, color);
        if (drawn) {
            // Generous bounds: a wide pen reaches past the line's end points.
            constexpr int Margin = 3;
            drawn->push_back(RECT{std::min(x0, x1) - Margin, std::min(y0, y1) - Margin, std::max(x0, x1) + Margin + 1,
                                  std::max(y0, y1) + Margin + 1});
        }
    }
    SelectObject(memory, originalPen);
}

RECT drawOverlay(HDC memory, int w, int h, const std::wstring& text, std::uint64_t elapsedMs) {
    SetBkMode(memory, TRANSPARENT);
    SetTextColor(memory, OverlayColor);
    RECT measure = {0, 0, overlayMeasureWidth(w), h};
    DrawTextW(memory, text.c_str(), -1, &measure, DT_WORDBREAK | DT_CENTER | DT_CALCRECT);
    const int height = measure.bottom - measure.top;
    const int y = overlayTop(h, height, elapsedMs);
    RECT target = {24, y, w - 24, std::min(y + std::max(height, 1), h - 12)};
    DrawTextW(memory, text.c_str(), -1, &target, DT_WORDBREAK | DT_CENTER);
    return target;  // the text is clipped to it
}

}  // namespace calmlane
