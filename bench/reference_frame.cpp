#include "reference_frame.h"

namespace calmlane::reference {

void frame(HDC dc, RECT rect, std::vector<Star>& stars, const FrameSettings& settings, StarRandom& random,
           const std::wstring* overlay, std::uint64_t elapsedMs, HFONT font) {
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    if (w <= 0 || h <= 0) return;
    HBITMAP bitmap = CreateCompatibleBitmap(dc, w, h);
    HDC memory = CreateCompatibleDC(dc);
    HGDIOBJ oldBitmap = SelectObject(memory, bitmap);
    RECT all = {0, 0, w, h};
    FillRect(memory, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    const FieldGeometry g = fieldGeometry(w, h);
    for (Star& star : stars) {
        const float z0 = star.z;
        const float z = nextDepth(z0, settings.speed);
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
        const COLORREF color = penColor(settings.color, brightness(z));
        HPEN pen = CreatePen(PS_SOLID, penWidth(z), color);
        HGDIOBJ oldPen = SelectObject(memory, pen);
        MoveToEx(memory, static_cast<int>(projectX(star, z0, g)), static_cast<int>(projectY(star, z0, g)), nullptr);
        LineTo(memory, static_cast<int>(px), static_cast<int>(py));
        SetPixel(memory, static_cast<int>(px), static_cast<int>(py), color);
        SelectObject(memory, oldPen);
        DeleteObject(pen);
    }
    if (overlay != nullptr) drawOverlay(memory, w, h, *overlay, elapsedMs, font);
    BitBlt(dc, rect.left, rect.top, w, h, memory, 0, 0, SRCCOPY);
    SelectObject(memory, oldBitmap);
    DeleteDC(memory);
    DeleteObject(bitmap);
}

}  // namespace calmlane::reference
