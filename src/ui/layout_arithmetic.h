#pragma once
// The main window's geometry as plain arithmetic, in pixels, free of <windows.h>: its control
// identifiers, the first and fitted window rectangles, scrolling and the Enter key's target.
namespace calmlane {

// Control identifiers.
enum ControlId : int {
    EnableButton = 101,
    CustomizeButton = 102,
    DisableButton = 103,
    WindowsSettingsButton = 104,
    AboutButton = 105,
    LanguageBox = 106,
    SaveButton = 108,
    CancelButton = 109,
    ContinueButton = 110,
    AdaptersRadio = 111,
    FirewallRadio = 112,
    ColorButton = 113,
    DensityBar = 114,
    SpeedBar = 115,
    ResetButton = 116,
    NetworkModeButton = 117,
    ConfigurationButton = 118,
    RestoreButton = 119,
    IdleField = 120,
    DisplaysBox = 121,
    UpdateButton = 122,
    CheckUpdatesButton = 123,
    SupportButton = 124,
    Caption = 125,     // static captions: each names the control created right after it
    StatusCard = 126,  // the status card's text
};

// The controls that are disabled, and whose commands are ignored, while an operation or download runs.
bool busyControl(int id);

// A rectangle in pixels, as Windows' RECT.
struct PixelRect {
    int left, top, right, bottom;
};

// A DIP value at a scale (DPI / 96), truncated.
int scaled(double dips, double scale);
// The first window rectangle of a page: its DIP size scaled, each side limited to the work area minus
// 30 pixels, centred in the work area.
PixelRect initialWindowRect(int page, double scale, const PixelRect& workArea);
// The window sized to its content: frame height (window minus client) plus content plus 8 DIPs, limited
// to the work area minus 30 pixels and centred vertically in it; left edge and width kept.
PixelRect fittedWindowRect(const PixelRect& window, int frameHeight, int contentHeight, double scale,
                           const PixelRect& workArea);
// The scroll position that shows the control spanning top..bottom (pixels at scroll 0) with `margin`
// around it, moving as little as possible; its top wins when it is taller than the page.
int scrollToShow(int scroll, int top, int bottom, int pageHeight, int margin);
// The button that Enter activates: the focused owner-drawn button (0: none), else the page's default
// (Save, Continue, Close; none on the main page).
int enterTarget(int page, int focusedButton);

}  // namespace calmlane
