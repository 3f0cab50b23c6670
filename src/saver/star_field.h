#pragma once
// The star-field picture: the overlay's text and the drawing of one field into a device context, over
// the arithmetic of star_arithmetic.h.
#include <windows.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/handles.h"
#include "saver/star_arithmetic.h"

namespace calmlane {

// The overlay line: product, version, credit, "Esc", then the state's ending.
std::wstring overlayText(bool previewOnly, bool pauseConfirmed);

// The off-screen bitmap of a field's frames, kept while the size stays the same. Between frames it is
// black except where the last frame drew, so the next frame clears only those places instead of the
// whole bitmap; and only what changed is copied to the window. The bitmap is selected out before it
// is deleted.
class FrameSurface {
public:
    FrameSurface() = default;
    FrameSurface(const FrameSurface&) = delete;
    FrameSurface& operator=(const FrameSurface&) = delete;
    FrameSurface(FrameSurface&&) noexcept = default;
    FrameSurface& operator=(FrameSurface&&) noexcept = default;
    ~FrameSurface();

    // A memory DC of w × h compatible with dc, black except for the overlay; null when it cannot be made.
    HDC begin(HDC dc, int w, int h);
    // Every stroke drawn since begin() lies inside the rectangles recorded here.
    std::vector<RECT>& drawn() { return strokes_; }
    // The overlay drawn since begin(), clipped to rect.
    void overlay(const RECT& rect, const std::wstring& text);
    // Copies the frame to dc at (x, y): everything when full or the bitmap is new, otherwise only what
    // differs from the last frame (last and this frame's strokes, the overlay when it moved or changed),
    // in one clipped copy.
    void present(HDC dc, int x, int y, bool full);
    void release();

private:
    UniqueDc memory_;
    UniqueGdiObject bitmap_;
    HGDIOBJ originalBitmap_ = nullptr;
    int w_ = 0, h_ = 0;
    bool fresh_ = false;
    std::vector<RECT> strokes_, previousStrokes_;
    RECT overlay_{}, previousOverlay_{};
    std::wstring overlayText_;
    bool overlayChanged_ = false;
    std::vector<BYTE> region_;            // one row's RGNDATA, kept to avoid an allocation each frame
    std::vector<unsigned char> tiles_;    // the changed tiles of the frame being copied
};

// Solid pens by colour and width, shared by a saver's fields. A star colour is the base colour scaled
// by a brightness, so one base colour needs a few hundred pens at most; a new base colour starts afresh.
// Pens are never selected anywhere between frames, so they can be deleted at any frame's start.
class PenCache {
public:
    void beginFrame(COLORREF baseColor);
    HPEN pen(COLORREF color, int width);
    std::size_t size() const { return pens_.size(); }

private:
    COLORREF base_ = CLR_INVALID;
    std::unordered_map<std::uint32_t, UniqueGdiObject> pens_;
};

// The overlay's TrueType UI font per DPI, made once and kept for the saver's life.
class OverlayFonts {
public:
    HFONT font(UINT dpi);

private:
    struct Entry {
        UINT dpi;
        UniqueGdiObject font;
    };
    std::vector<Entry> fonts_;
};

struct StarField {
    RECT rect{};
    UINT dpi = USER_DEFAULT_SCREEN_DPI;  // of the monitor it covers: sizes the overlay's font
    std::vector<Star> stars;
    FrameSurface surface;
};

struct FrameSettings {
    long speed;
    COLORREF color;
};

// Advances every star one step and draws the field into a black memory DC of w × h. When drawn is given,
// the bounds of every stroke are appended to it.
void drawStars(HDC memory, std::vector<Star>& stars, const FieldGeometry& g, const FrameSettings& frame,
               StarRandom& random, PenCache& pens, std::vector<RECT>* drawn = nullptr);

// Writes the overlay into the memory DC of a field of w × h in font (the DC's own when null); returns the
// rectangle it is clipped to.
RECT drawOverlay(HDC memory, int w, int h, const std::wstring& text, std::uint64_t elapsedMs, HFONT font);

}  // namespace calmlane
