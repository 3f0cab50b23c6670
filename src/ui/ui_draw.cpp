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

COLORREF themed(const Ui& ui, COLORREF normal, int systemColor) {
    return ui.highContrast ? GetSysColor(systemColor) : normal;
}

StaticColors staticColors(const Ui& ui, HWND control) {
    if (GetDlgCtrlID(control) == StatusCard) {
        return {themed(ui, ui.installed ? palette::InstalledFill : palette::MissingFill, COLOR_WINDOW),
                themed(ui, ui.installed ? palette::InstalledText : palette::MissingText, COLOR_WINDOWTEXT)};
    }
    // Captions in the header band (the language caption of wide windows) sit on the band's colour.
    bool inHeader = false;
    for (std::size_t i = 0; i < ui.controls.size(); ++i) {
        if (ui.controls[i] == control) inHeader = ui.controlRects[i].top < ui.px(ui.headerEnd);
    }
    return {themed(ui, inHeader ? palette::HeaderBand : palette::Background, COLOR_WINDOW),
            themed(ui, palette::StaticText, COLOR_WINDOWTEXT)};
}

COLORREF shaded(COLORREF color, bool pressed, bool hovered) {
    const int darker = pressed ? 18 : hovered ? 7 : 0;
    auto channel = [darker](int value) { return static_cast<BYTE>(std::max(0, value - darker)); };
    return RGB(channel(GetRValue(color)), channel(GetGValue(color)), channel(GetBValue(color)));
}

void paintUi(const Ui& ui, HDC dc) {
    RECT client = {};
    GetClientRect(ui.window, &client);
    fill(dc, RECT{0, -ui.scroll, client.right, ui.px(ui.headerEnd) - ui.scroll},
         themed(ui, palette::HeaderBand, COLOR_WINDOW));
    fill(dc, RECT{0, -ui.scroll, client.right, ui.px(4) - ui.scroll},
         themed(ui, palette::AccentStripe, COLOR_WINDOWTEXT));
    if (!IsRectEmpty(&ui.statusPanel)) {
        roundedBox(dc, shifted(ui.statusPanel, ui.scroll), ui.px(18),
                   themed(ui, ui.installed ? palette::InstalledFill : palette::MissingFill, COLOR_WINDOW),
                   themed(ui, ui.installed ? palette::InstalledBorder : palette::MissingBorder, COLOR_WINDOWTEXT), 1);
    }
    SetBkMode(dc, TRANSPARENT);
    for (const Label& label : ui.labels) {
        const ScopedSelection font(dc, ui.font(label.font));
        SetTextColor(dc, themed(ui, label.color, COLOR_WINDOWTEXT));
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
    const bool disabled = (item.itemState & ODS_DISABLED) != 0;
    ButtonColors colors = buttonColors(static_cast<int>(item.CtlID));
    COLORREF fillColor = shaded(colors.fill, pressed, hovered);
    // Disabled buttons (busy, already liked) read as such.
    COLORREF textColor = disabled ? RGB(138, 150, 166) : palette::ButtonText;
    if (ui.highContrast) {
        const bool lit = (pressed || hovered) && !disabled;
        fillColor = GetSysColor(lit ? COLOR_HIGHLIGHT : COLOR_BTNFACE);
        colors.border = GetSysColor(COLOR_BTNTEXT);
        textColor = GetSysColor(disabled ? COLOR_GRAYTEXT : lit ? COLOR_HIGHLIGHTTEXT : COLOR_BTNTEXT);
    }

    fill(dc, item.rcItem, themed(ui, palette::Background, COLOR_WINDOW));  // the corners outside the rounded card
    RECT card = item.rcItem;
    InflateRect(&card, -ui.px(2), -ui.px(2));
    roundedBox(dc, card, ui.px(18), fillColor, colors.border, std::max(1, ui.px(hovered ? 3 : 1)));
    // The keyboard focus has a mark of its own, unless the keyboard cues are hidden (mouse users).
    if ((item.itemState & ODS_FOCUS) != 0 && (item.itemState & ODS_NOFOCUSRECT) == 0) {
        RECT focus = card;
        InflateRect(&focus, -ui.px(6), -ui.px(6));
        SetTextColor(dc, RGB(0, 0, 0));
        SetBkColor(dc, RGB(255, 255, 255));
        DrawFocusRect(dc, &focus);
    }

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
    SetTextColor(dc, textColor);
    DrawTextW(dc, caption, -1, &area, DT_CENTER | DT_WORDBREAK | DT_NOPREFIX);
}

void drawLanguageRow(const Ui& ui, const DRAWITEMSTRUCT& item) {
    HDC dc = item.hDC;
    const int language = item.itemID == static_cast<UINT>(-1) ? static_cast<int>(settings.language)
                                                                : static_cast<int>(item.itemID);
    const bool selected = (item.itemState & ODS_SELECTED) != 0;
    fill(dc, item.rcItem, selected ? themed(ui, palette::LanguageSelected, COLOR_HIGHLIGHT)
                                   : themed(ui, RGB(255, 255, 255), COLOR_WINDOW));
    if (language < 0 || language >= LanguageCount) return;
    const RECT flagArea = flagRect(item.rcItem, ui.scale);
    flag(dc, flagArea, language);
    RECT name = item.rcItem;
    name.left = flagArea.right + ui.px(12);
    const ScopedSelection font(dc, ui.font(0));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, themed(ui, palette::LanguageText, selected ? COLOR_HIGHLIGHTTEXT : COLOR_WINDOWTEXT));
    DrawTextW(dc, languageNames[language], -1, &name, DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX);
}

RECT flagRect(const RECT& row, double scale) {
    const int rowHeight = row.bottom - row.top;
    const int padding = std::min(scaled(6, scale), rowHeight / 6);  // small rows: the closed box
    const int height = std::max(2, std::min(rowHeight - 2 * padding, scaled(20, scale)));
    const int width = height * 3 / 2;
    const int left = row.left + scaled(8, scale);
    const int top = row.top + (rowHeight - height) / 2;
    return RECT{left, top, left + width, top + height};
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

LRESULT CALLBACK focusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR data) {
    switch (message) {
    case WM_SETFOCUS:
        SendMessageW(GetParent(window), FocusedMessage, static_cast<WPARAM>(GetDlgCtrlID(window)), 0);
        break;
    case WM_KEYDOWN:
        if (data == 1 && (wParam == VK_PRIOR || wParam == VK_NEXT || wParam == VK_HOME || wParam == VK_END)) {
            return SendMessageW(GetParent(window), message, wParam, lParam);
        }
        break;
    case WM_NCDESTROY:
        RemoveWindowSubclass(window, focusProc, id);
        break;
    default:
        break;
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

}  // namespace calmlane
