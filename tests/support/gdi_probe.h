#pragma once
// GDI objects for leak checks. GetGuiResources answers on Windows; Wine has it as a stub, so there the
// count is read from the handle table's high-water mark: a leak pushes new handles to higher slots.
#include <windows.h>

#include <vector>

namespace calmlane::test {

// A DIB-section surface whose pixels tests can read.
class PixelSurface {
public:
    PixelSurface(int w, int h);
    ~PixelSurface();
    PixelSurface(const PixelSurface&) = delete;
    PixelSurface& operator=(const PixelSurface&) = delete;
    HDC dc() const { return dc_; }
    COLORREF pixel(int x, int y) const;  // as RGB()
    int width() const { return w_; }
    int height() const { return h_; }
    const DWORD* bits() const { return bits_; }
    void clear(COLORREF color);
    // Copies what the screen shows from (x, y) on into the surface.
    void grabScreen(int x = 0, int y = 0);

private:
    int w_, h_;
    HDC dc_ = nullptr;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    DWORD* bits_ = nullptr;
};

// Highest GDI handle slot in use after allocating a fixed batch of probe objects (then freed).
unsigned gdiHighWater();

}  // namespace calmlane::test
