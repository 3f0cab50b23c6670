#include "saver/star_field.h"

#include <algorithm>
#include <cstring>

#include "app/constants.h"
#include "app/globals.h"
#include "app/localization.h"

namespace calmlane {

namespace {

constexpr COLORREF OverlayColor = RGB(150, 170, 195);
constexpr std::size_t PenCacheLimit = 1024;
constexpr int Tile = 32;  // pixels per side of the grid that collects a frame's changed places

}  // namespace

std::wstring overlayText(bool previewOnly, bool pauseConfirmed) {
    // French puts a no-break space before the colon.
    const wchar_t* separator = settings.language == 0 ? L"\u00A0: " : L" : ";
    std::wstring text = std::wstring(Product) + separator + Version + separator + MakerCredit + L"  |  Esc";
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
    HBRUSH black = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
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
        fresh_ = true;
        const RECT all = {0, 0, w, h};
        FillRect(memory_.get(), &all, black);
        strokes_.clear();
        overlay_ = {};
    } else {
        // Only the last frame's strokes and overlay are not black.
        for (const RECT& rect : strokes_) FillRect(memory_.get(), &rect, black);
        if (!IsRectEmpty(&overlay_)) FillRect(memory_.get(), &overlay_, black);
    }
    previousStrokes_.swap(strokes_);
    strokes_.clear();
    previousOverlay_ = overlay_;
    overlay_ = {};
    overlayChanged_ = !IsRectEmpty(&previousOverlay_);  // gone, unless drawn again unchanged
    return memory_.get();
}

void FrameSurface::overlay(const RECT& rect, const std::wstring& text) {
    overlayChanged_ = !EqualRect(&rect, &previousOverlay_) || text != overlayText_;
    overlay_ = rect;
    overlayText_ = text;
}

void FrameSurface::present(HDC dc, int x, int y, bool full) {
    if (!memory_ || !bitmap_) return;
    if (!full && !fresh_) {
        // The changed places, on a grid of tiles: a region of a few hundred sorted, non-overlapping
        // rectangles (runs of marked tiles per row) is much cheaper to build and clip with than a
        // thousand overlapping stroke bounds.
        const int columns = (w_ + Tile - 1) / Tile;
        const int rows = (h_ + Tile - 1) / Tile;
        tiles_.assign(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows), 0);
        bool any = false;
        auto mark = [&](const RECT& changed) {
            RECT rect;
            const RECT field = {0, 0, w_, h_};
            if (!IntersectRect(&rect, &changed, &field)) return;
            for (int row = rect.top / Tile; row <= (rect.bottom - 1) / Tile; ++row) {
                for (int column = rect.left / Tile; column <= (rect.right - 1) / Tile; ++column) {
                    tiles_[static_cast<std::size_t>(row) * columns + column] = 1;
                }
            }
            any = true;
        };
        for (const RECT& rect : previousStrokes_) mark(rect);
        for (const RECT& rect : strokes_) mark(rect);
        if (overlayChanged_) {
            mark(previousOverlay_);
            mark(overlay_);
        }
        if (!any) return;  // nothing on the window differs from this frame
        // Built row by row: joining a band below the rows so far costs a pass over them, where adding
        // rectangles one by one would cost a pass per rectangle.
        UniqueGdiObject clip(CreateRectRgn(0, 0, 0, 0));
        for (int row = 0; row < rows && clip; ++row) {
            std::size_t n = 0;
            region_.resize(sizeof(RGNDATAHEADER) + static_cast<std::size_t>(columns) * sizeof(RECT));
            RECT* runs = reinterpret_cast<RECT*>(region_.data() + sizeof(RGNDATAHEADER));
            const unsigned char* marks = tiles_.data() + static_cast<std::size_t>(row) * columns;
            for (int column = 0; column < columns;) {
                if (!marks[column]) {
                    ++column;
                    continue;
                }
                const int first = column;
                while (column < columns && marks[column]) ++column;
                runs[n++] = RECT{x + first * Tile, y + row * Tile, x + std::min(column * Tile, w_),
                                 y + std::min((row + 1) * Tile, h_)};
            }
            if (n == 0) continue;
            RGNDATAHEADER header = {};
            header.dwSize = sizeof(RGNDATAHEADER);
            header.iType = RDH_RECTANGLES;
            header.nCount = static_cast<DWORD>(n);
            header.nRgnSize = static_cast<DWORD>(n * sizeof(RECT));
            header.rcBound = {runs[0].left, runs[0].top, runs[n - 1].right, runs[0].bottom};
            std::memcpy(region_.data(), &header, sizeof(header));
            UniqueGdiObject band(ExtCreateRegion(nullptr, static_cast<DWORD>(sizeof(RGNDATAHEADER) + n * sizeof(RECT)),
                                                 reinterpret_cast<const RGNDATA*>(region_.data())));
            if (!band || CombineRgn(static_cast<HRGN>(clip.get()), static_cast<HRGN>(clip.get()),
                                    static_cast<HRGN>(band.get()), RGN_OR) == ERROR) {
                clip.reset();
            }
        }
        // Without a region the whole field is copied: more work, the same picture.
        if (clip && SaveDC(dc) != 0) {
            SelectClipRgn(dc, static_cast<HRGN>(clip.get()));  // undone by RestoreDC
            BitBlt(dc, x, y, w_, h_, memory_.get(), 0, 0, SRCCOPY);
            RestoreDC(dc, -1);
            return;
        }
    }
    BitBlt(dc, x, y, w_, h_, memory_.get(), 0, 0, SRCCOPY);
    fresh_ = false;
}

void FrameSurface::release() {
    if (memory_ && originalBitmap_) SelectObject(memory_.get(), originalBitmap_);
    originalBitmap_ = nullptr;
    bitmap_.reset();
    memory_.reset();
    w_ = h_ = 0;
    fresh_ = false;
    strokes_.clear();
    previousStrokes_.clear();
    overlay_ = previousOverlay_ = {};
    overlayText_.clear();
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

HFONT OverlayFonts::font(UINT dpi) {
    for (const Entry& entry : fonts_) {
        if (entry.dpi == dpi) return static_cast<HFONT>(entry.font.get());
    }
    // The message font, a TrueType face that Windows links to CJK faces for the glyphs it lacks (the
    // stock bitmap font has no such link, so Chinese text showed as boxes).
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    LOGFONTW face = {};
    if (SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        face = metrics.lfMessageFont;  // already sized for dpi
    } else {
        face.lfHeight = -MulDiv(9, static_cast<int>(dpi), 72);
        lstrcpynW(face.lfFaceName, L"Segoe UI", LF_FACESIZE);
    }
    face.lfOutPrecision = OUT_TT_ONLY_PRECIS;
    fonts_.push_back({dpi, UniqueGdiObject(CreateFontIndirectW(&face))});
    return static_cast<HFONT>(fonts_.back().font.get());  // null: the DC's own font draws instead
}

RECT drawOverlay(HDC memory, int w, int h, const std::wstring& text, std::uint64_t elapsedMs, HFONT font) {
    const ScopedSelection selected(memory, font);  // nothing to select, or put back, when font is null
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
