#pragma once
// The main window and its three secondary pages (customise, network mode, about): one window class,
// laid out in code in DIPs and rebuilt whenever its content or size changes. Layout and drawing live in
// ui_layout.cpp and ui_draw.cpp, the window's life and commands in ui_window.cpp.
#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/handles.h"
#include "app/settings.h"
#include "configuration/saver_operation.h"
#include "ui/layout_arithmetic.h"
#include "update/update_check.h"

namespace calmlane {

inline constexpr const wchar_t* UiClass = L"Calmlane.Native.Ui";

// Results that background workers post to the window; lParam is a heap record the window frees.
inline constexpr UINT AutomaticCheckDone = 0x800A;  // UpdateInfo*
inline constexpr UINT RequestedCheckDone = 0x800B;  // UpdateInfo*
inline constexpr UINT SupportDone = 0x800C;         // LikeResult*
inline constexpr UINT DownloadDone = 0x800D;        // UpdateDownloadResult*
inline constexpr UINT RelayoutMessage = 0x8010;     // lays the page out again, posted by the window itself
inline constexpr UINT FocusedMessage = 0x8011;      // a control took the focus; wParam: its id (focusProc)

inline constexpr UINT_PTR OperationTimer = 98;  // 75 ms while a saver operation runs
inline constexpr UINT_PTR SnapshotTimer = 99;   // 1,000 ms once, UI self-test only

// The window's geometry in Windows' rectangles.
inline PixelRect pixelRect(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }
inline RECT windowsRect(const PixelRect& r) { return {r.left, r.top, r.right, r.bottom}; }
inline RECT initialWindowRect(int page, double scale, const RECT& workArea) {
    return windowsRect(initialWindowRect(page, scale, pixelRect(workArea)));
}
inline RECT fittedWindowRect(const RECT& window, int frameHeight, int contentHeight, double scale,
                             const RECT& workArea) {
    return windowsRect(fittedWindowRect(pixelRect(window), frameHeight, contentHeight, scale, pixelRect(workArea)));
}

namespace palette {
inline constexpr COLORREF Background = RGB(246, 248, 252);
inline constexpr COLORREF StaticText = RGB(34, 48, 70);
inline constexpr COLORREF LabelText = RGB(44, 58, 78);
inline constexpr COLORREF HeaderBand = RGB(232, 240, 251);
inline constexpr COLORREF AccentStripe = RGB(146, 179, 220);
inline constexpr COLORREF VersionLine = RGB(83, 105, 133);
inline constexpr COLORREF InstalledFill = RGB(230, 244, 237), InstalledBorder = RGB(186, 218, 202),
                          InstalledText = RGB(32, 99, 77);
inline constexpr COLORREF MissingFill = RGB(251, 244, 229), MissingBorder = RGB(228, 211, 178),
                          MissingText = RGB(104, 78, 38);
inline constexpr COLORREF Note = RGB(92, 107, 128);
inline constexpr COLORREF ButtonText = RGB(27, 48, 68);
inline constexpr COLORREF LanguageText = RGB(25, 45, 70);
inline constexpr COLORREF LanguageSelected = RGB(220, 236, 252);
}  // namespace palette

struct Label {
    RECT rect;  // pixels at scroll 0
    std::wstring text;
    int font;   // 0 normal, 1 title
    COLORREF color;
};

struct Ui {
    HWND window = nullptr;
    int page = 0;
    float scale = 1;
    int scroll = 0;
    int contentHeight = 0;
    UniqueGdiObject fonts[2];  // normal, title
    std::vector<HWND> controls;
    std::vector<RECT> controlRects;
    std::vector<Label> labels;
    RECT statusPanel = {};
    int headerEnd = 0;  // DIPs: where the header band ends
    bool installed = false;
    unsigned idleMinutes = 10;
    bool idleEdited = false;
    bool highContrast = false;  // read at every layout: draw with the system colours
    int focusId = 0;  // the control that had the focus, given it back after every rebuild
    bool windowsDialog = false;  // the customise page is owned by Windows' screen saver dialog ("/c <hwnd>")
    Settings snapshot;
    int dialogResult = 0;
    bool inLayout = false;
    bool checking = false;
    bool liking = false;
    bool downloading = false;
    UpdateInfo updateInfo;
    std::shared_ptr<SaverOperation> operation;
    bool closeRequested = false;

    bool busy() const { return operation != nullptr || downloading; }
    int px(double dips) const { return scaled(dips, scale); }
    HFONT font(int index) const { return static_cast<HFONT>(fonts[index].get()); }

    void layout();
    int label(const std::wstring& text, int x, int y, int width, bool title);
    // A caption as a static control, which screen readers take as the name of the control created next;
    // returns its height in DIPs as label does.
    int caption(const std::wstring& text, int id, int x, int y, int width);
    HWND add(const wchar_t* className, const std::wstring& text, int id, int x, int y, int width, int height,
             DWORD style);
    void fitHeight();
    void reposition();
    // Focuses the control remembered in focusId, or the first one that takes the focus.
    void restoreFocus();
    // Makes the fonts for the current scale, hands them to the existing controls, then frees the old ones.
    void createFonts();
    void startSaverAction(SaverAction action);

private:
    int measure(const std::wstring& text, int width, bool title);  // word-wrapped height in DIPs
    HWND create(const wchar_t* className, const std::wstring& text, int id, int x, int y, int width, int height,
                DWORD style);
    int build();  // one layout pass; returns the width it used in DIPs, -1 when a layout was running
    int header(int width);
    int mainPage(int width);
    int customizePage(int width, int top);
    int networkModePage(int width, int top);
    int aboutPage(int width, int top);
    // A caption and a track bar below it; returns where the next control goes.
    int slider(const std::wstring& name, int id, long low, long high, long position, int y, int width);
    // A confirming button and Cancel side by side; returns where the page ends.
    int confirmRow(int width, int y, int confirmId, const std::wstring& confirmText);
};

int runWindow();
// Shows a secondary page modal to `owner`: 1 when it was confirmed, 0 when cancelled, -1 when it could not
// be created.
int showPage(HWND owner, int page);
HWND createUi(Ui& ui, HWND owner);
LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Drawing (ui_draw.cpp).
void paintUi(const Ui& ui, HDC dc);
void drawButton(const Ui& ui, const DRAWITEMSTRUCT& item);
void drawLanguageRow(const Ui& ui, const DRAWITEMSTRUCT& item);
void flag(HDC dc, RECT rect, int language);
// Where a language row (or the closed box) shows its flag: 3 : 2, at most 30 × 20 DIPs, vertically centred.
RECT flagRect(const RECT& row, double scale);
// The fill and border colours of an owner-drawn button.
struct ButtonColors {
    COLORREF fill;
    COLORREF border;
};
ButtonColors buttonColors(int id);
// The fixed palette's colour, or in high contrast the system colour (COLOR_...) that plays its role.
COLORREF themed(const Ui& ui, COLORREF normal, int systemColor);
// Background and text of a static control (captions, the status card), a radio button or a track bar.
struct StaticColors {
    COLORREF back;
    COLORREF text;
};
StaticColors staticColors(const Ui& ui, HWND control);
COLORREF shaded(COLORREF color, bool pressed, bool hovered);
LRESULT CALLBACK hoverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR data);
// On every control: reports focus changes to the window; with data 1 (buttons, which have no use for
// them) hands Page Up, Page Down, Home and End to the window, which scrolls.
LRESULT CALLBACK focusProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id, DWORD_PTR data);

// Writes the client area of `window` with its child controls as a top-down 32-bit bitmap file; false
// when the file could not be written.
bool capture(HWND window, const std::wstring& path);
// Writes width × height 32-bit pixels, top row first, as a bitmap file; false when it could not be written.
bool writeBitmapFile(const std::wstring& path, int width, int height, const void* pixels);

// The status card's text: installation, screen saver and mode, one line each.
std::wstring statusCardText(const Ui& ui);

// Texts that more than one place shows.
std::wstring updateLine(const std::wstring& version);  // "Calmlane %s update — Download and install"
std::wstring checkConfigurationText();                 // the "Check configuration" button

}  // namespace calmlane
