// Painting of the main window: header, status card, labels, the owner-drawn buttons and the language
// list with its flags. Fills use the DC brush and thin lines the DC pen, so most steps create nothing;
// what a step does create (a thick pen, a font, an icon) is deleted within it.
#include <algorithm>

#include "app/globals.h"
#include "app/localization.h"
#include "ui/ui.h"

#include <commctrl.h>  // after windows.h

namespace calmlane {

namespace {

constexpr const wchar_t* HoverProperty = L"Hover";

void fill(HDC dc, const RECT& rect, COLORREF color) {
    SetDCBrushColor(dc, color);
    FillRect(dc, &rect, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}

// A rounded rectangle with a solid fill; a border wider than one pixel needs a pen of its own.
void roundedBox(HDC dc, const RECT& rect, int corner, COLORREF fillColor, COLORREF border, int borderWidth) {
    UniqueGdiObject widePen(borderWidth > 1 ? CreatePen(PS_SOLID, borderWidth, border) : nullptr);
    SetDCPenColor(dc, border);
    SetDCBrushColor(dc, fillColor);
    const ScopedSelection pen(dc, widePen ? widePen.get() : GetStockObject(DC_PEN));
    const ScopedSelection brush(dc, GetStockObject(DC_BRUSH));
    RoundRect(dc, rect.left, rect.top, rect.right, rect.bottom, corner, corner);
}

RECT shifted(RECT rect, int dy) {
    OffsetRect(&rect, 0, -dy);
    return rect;
}

}  // namespace

ButtonColors buttonColors(int id) {
    switch (id) {
    case EnableButton:
        return {RGB(215, 232, 254), RGB(132, 172, 220)};
    case DisableButton:
        return {RGB(253, 232, 232), RGB(213, 157, 165)};
    case CustomizeButton:
    case SaveButton:
    case ContinueButton:
        return {RGB(219, 241, 232), RGB(129, 180, 159)};
    case AboutButton:
        return {RGB(240, 234, 250), RGB(191, 175, 216)};
    case SupportButton:
        return {RGB(253, 235, 240), RGB(222, 151, 169)};
    case UpdateButton:
    case CheckUpdatesButton:
        return {RGB(222, 241, 255), RGB(103, 164, 211)};
    case CancelButton:
    case ResetButton:
        return {RGB(241, 243, 247), RGB(198, 205, 215)};
    default:
        return {RGB(235, 241, 250), RGB(175, 193, 218)};
    }
}

COLORREF shaded(COLORREF color, bool pressed, bool hovered) {
    const int darker = pressed ? 18 : hovered ? 7 : 0;
    auto channel = [darker](int value) { return static_cast<BYTE>(std::max(0, value - darker)); };
    return RGB(channel(GetRValue(color)), channel(GetGValue(color)), channel(GetBValue(color)));
}

void paintUi(const Ui& ui, HDC dc) {
    RECT client = {};
    GetClientRect(ui.window, &client);
    fill(dc, RECT{0, -ui.scroll, client.right, ui.px(ui.headerEnd) - ui.scroll}, palette::HeaderBand);
    fill(dc, RECT{0, -ui.scroll, client.right, ui.px(4) - ui.scroll}, palette::AccentStripe);
    if (!IsRectEmpty(&ui.statusPanel)) {
        roundedBox(dc, shifted(ui.statusPanel, ui.scroll), ui.px(18),
                   ui.installed ? palette::InstalledFill : palette::MissingFill,
                   ui.installed ? palette::InstalledBorder : palette::MissingBorder, 1);
    }
    SetBkMode(dc, TRANSPARENT);
    for (const Label& label : ui.labels) {
        const ScopedSelection font(dc, ui.font(label.font));
        SetTextColor(dc, label.color);
        RECT rect = shifted(label.rect, ui.scroll);
        DrawTextW(dc, label.text.c_str(), -1, &rect, DT_WORDBREAK | DT_NOPREFIX);
    }
    const int size = ui.px(48);
    const UniqueIcon icon(
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    if (icon) DrawIconEx(dc, ui.px(28), ui.px(28) - ui.scroll, icon.get(), size, size, 0, nullptr, DI_NORMAL);
}

void drawButton(const Ui& ui, const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    const bool pressed = (item.itemState & ODS_SELECTED) != 0;
    const bool hovered = GetPropW(item.hwndItem, HoverProperty) != nullptr;
    const bool focused = (item.itemState & ODS_FOCUS) != 0;
    const ButtonColors colors = buttonColors(static_cast<int>(item.CtlID));

    fill(dc, item.rcItem, palette::Background);  // the corners outside the rounded card
    RECT card = item.rcItem;
    InflateRect(&card, -ui.px(2), -ui.px(2));
    roundedBox(dc, card, ui.px(18), shaded(colors.fill, pressed, hovered), colors.border,
               std::max(1, ui.px(hovered || focused ? 3 : 1)));

    wchar_t caption[513] = {};
    GetWindowTextW(item.hwndItem, caption, 513);
    RECT area = item.rcItem;
    InflateRect(&area, -ui.px(12), -ui.px(5));
    const ScopedSelection font(dc, ui.font(0));
    RECT measured = area;
    DrawTextW(dc, caption, -1, &measured, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX | DT_CALCRECT);
    const int textHeight = measured.bottom - measured.top;
    area.top += std::max<LONG>(0, ((area.bottom - area.top) - textHeight) / 2);
    SetBkMode(dc, TRANSPARENT);
    // Disabled buttons (busy, already liked) read as such.
    SetTextColor(dc, (item.itemState & ODS_DISABLED) ? RGB(138, 150, 166) : palette::ButtonText);
    DrawTextW(dc, caption, -1, &area, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
}

void drawLanguageRow(const Ui& ui, const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    const int language = item.itemID == static_cast<UINT>(-1) ? static_cast<int>(settings.language)
                                                                : static_cast<int>(item.itemID);
    fill(dc, item.rcItem, (item.itemState & ODS_SELECTED) ? palette::LanguageSelected : RGB(255, 255, 255));
    if (language < 0 || language >= LanguageCount) return;
    flag(dc, RECT{item.rcItem.left + 8, item.rcItem.top + 8, item.rcItem.left + 38, item.rcItem.bottom - 8}, language);
    RECT name = item.rcItem;
    name.left += 50;
    const ScopedSelection font(dc, ui.font(0));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, palette::LanguageText);
    DrawTextW(dc, languageNames[language], -1, &name, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

void flag(HDC dc, RECT rect, int language) {
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    auto band = [&](int left, int top, int right, int bottom, COLORREF color) {
        fill(dc, RECT{rect.left + left, rect.top + top, rect.left + right, rect.top + bottom}, color);
    };
    switch (language) {
    case 0:
    case 5:
        band(0, 0, w, h, RGB(255, 255, 255));
        band(0, 0, w / 3, h, language == 0 ? RGB(0, 70, 170) : RGB(0, 140, 75));
        band(w - w / 3, 0, w, h, RGB(235, 35, 45));
        break;
    case 1: {
        band(0, 0, w, h, RGB(20, 50, 130));
        const UniqueGdiObject white(CreatePen(PS_SOLID, std::max(2, h / 5), RGB(255, 255, 255)));
        const int saved = white ? SaveDC(dc) : 0;
        if (saved != 0) {  // the clip must not outlive the cross
            IntersectClipRect(dc, rect.left, rect.top, rect.right, rect.bottom);
            const ScopedSelection pen(dc, white.get());
            MoveToEx(dc, rect.left, rect.top, nullptr);
            LineTo(dc, rect.right, rect.bottom);
            MoveToEx(dc, rect.right, rect.top, nullptr);
            LineTo(dc, rect.left, rect.bottom);
            RestoreDC(dc, saved);
        }
        band(2 * w / 5, 0, w - 2 * w / 5, h, RGB(230, 35, 45));
        band(0, 2 * h / 5, w, h - 2 * h / 5, RGB(230, 35, 45));
        break;
    }
    case 2:
        band(0, 0, w, h, RGB(220, 35, 45));
        band(0, 0, w, h / 3, RGB(20, 20, 20));
        band(0, h - h / 3, w, h, RGB(250, 195, 20));
        break;
    case 3: {
        band(0, 0, w, h, RGB(225, 30, 40));
        const UniqueGdiObject starFont(CreateFontW(-std::max(6, h * 4 / 5), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                                                   DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                                   CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI Symbol"));
        const ScopedSelection font(dc, starFont ? starFont.get() : GetStockObject(DEFAULT_GUI_FONT));
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 230, 20));
        DrawTextW(dc, L"★", -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
        break;
    }
    case 4:
        band(0, 0, w, h, RGB(255, 205, 30));
        band(0, 0, w, h / 3, RGB(185, 25, 40));
        band(0, h - h / 3, w, h, RGB(185, 25, 40));
        break;
    default:
        break;
    }
}

LRESULT CALLBACK hoverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR) {
    switch (message) {
    case WM_SETCURSOR:
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        return TRUE;
    case WM_MOUSEMOVE:
        if (GetPropW(window, HoverProperty) == nullptr) {
            SetPropW(window, HoverProperty, reinterpret_cast<HANDLE>(1));
            TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, window, 0};
            TrackMouseEvent(&track);
            InvalidateRect(window, nullptr, FALSE);
        }
        break;
    case WM_MOUSELEAVE:
        RemovePropW(window, HoverProperty);
        InvalidateRect(window, nullptr, FALSE);
        break;
    case WM_NCDESTROY:
        RemovePropW(window, HoverProperty);
        RemoveWindowSubclass(window, hoverProc, id);
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace calmlane
