#include "support/gdi_probe.h"

#include "app/handles.h"

namespace calmlane::test {

PixelSurface::PixelSurface(int w, int h) : w_(w), h_(h) {
    BITMAPINFO info = topDownBitmapInfo(w, h);
    HDC screen = GetDC(nullptr);
    dc_ = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    void* bits = nullptr;
    bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    bits_ = static_cast<DWORD*>(bits);
    old_ = SelectObject(dc_, bitmap_);
}

PixelSurface::~PixelSurface() {
    SelectObject(dc_, old_);
    DeleteObject(bitmap_);
    DeleteDC(dc_);
}

COLORREF PixelSurface::pixel(int x, int y) const {
    GdiFlush();
    const DWORD v = bits_[y * w_ + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}

void PixelSurface::clear(COLORREF color) {
    RECT all = {0, 0, w_, h_};
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc_, &all, brush);
    DeleteObject(brush);
}

void PixelSurface::grabScreen(int x, int y) {
    HDC screen = GetDC(nullptr);
    BitBlt(dc_, 0, 0, w_, h_, screen, x, y, SRCCOPY);
    ReleaseDC(nullptr, screen);
    GdiFlush();
}

unsigned gdiHighWater() {
    if (const DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS)) return count;
    std::vector<HPEN> probes;
    unsigned highest = 0;
    for (int i = 0; i < 1000; ++i) {
        HPEN pen = CreatePen(PS_SOLID, 1, RGB(i % 256, 7, 9));
        probes.push_back(pen);
        const unsigned slot = static_cast<unsigned>(reinterpret_cast<UINT_PTR>(pen) & 0xFFFF);
        if (slot > highest) highest = slot;
    }
    for (HPEN pen : probes) DeleteObject(pen);
    return highest;
}

}  // namespace calmlane::test
