// The main window in process: the laid-out pages, their commands, drawing and the capture (its geometry
// as arithmetic is in layout_arithmetic_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/constants.h"
#include "app/globals.h"
#include "app/policy.h"
#include "app/settings.h"
#include "support/gdi_probe.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"
#include "configuration/saver_selection.h"
#include "doubles/double_store.h"
#include "ui/page_window.h"
#include "update/worker.h"
#include "ui/ui.h"

#include <commctrl.h>  // after windows.h

namespace calmlane {
namespace {

using test::PageWindow;
using test::pump;
using test::pumpUntil;

// Tests of the window in English, against scratch settings.
class UiEnglish : public ::testing::Test {
protected:
    void TearDown() override { settings.language = 1; }
    test::EnglishUser english;
};

// At three widths and two scales every control of the main page lies inside the window's width and
// none overlaps another; the actions make two columns from the wide width on, and one below it.
TEST(UiLayout, MainPageControlsFitAndNeverOverlapAtEveryWidthAndScale) {
    test::RegistryScratch scratch;
    PageWindow page(0);
    page.ui.updateInfo.available = true;
    page.ui.updateInfo.version = L"1.2.0";
    for (const int dpi : {96, 192}) {
        RECT suggested = {0, 0, 1000, 850};
        SendMessageW(page.ui.window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        for (const int width : {700, 1000, 1600}) {
            SCOPED_TRACE(std::to_string(width) + " DIPs at " + std::to_string(dpi) + " dpi");
            page.resize(width * dpi / 96, 850 * dpi / 96);
            RECT client;
            GetClientRect(page.ui.window, &client);
            // Where each control shows (a closed combo box, not its list), in the window's client area.
            std::vector<RECT> shown;
            for (HWND control : page.ui.controls) {
                const RECT r = page.shownRect(control);
                EXPECT_TRUE(r.left >= 0 && r.right <= client.right && r.left < r.right) << GetDlgCtrlID(control);
                for (std::size_t j = 0; j < shown.size(); ++j) {
                    RECT overlap;
                    EXPECT_FALSE(IntersectRect(&overlap, &r, &shown[j]))
                        << GetDlgCtrlID(control) << " overlaps " << GetDlgCtrlID(page.ui.controls[j]);
                }
                shown.push_back(r);
            }
            const RECT enable = page.rectOf(EnableButton), customize = page.rectOf(CustomizeButton);
            EXPECT_EQ(enable.top == customize.top, client.right * 96 / dpi >= 796);
            EXPECT_LT(page.rectOf(AboutButton).top, page.rectOf(UpdateButton).top);
        }
    }
    EXPECT_NE(windowText(GetDlgItem(page.ui.window, UpdateButton)).find(L"1.2.0"), std::wstring::npos);
}

TEST(UiLayout, ScrollStaysInRangeAndDpiChangesRescale) {
    test::RegistryScratch scratch;
    PageWindow page(0, 1000, 400);
    RECT client;
    GetClientRect(page.ui.window, &client);
    ASSERT_GT(page.ui.contentHeight, client.bottom);
    SendMessageW(page.ui.window, WM_VSCROLL, SB_BOTTOM, 0);
    const int bottom = page.ui.scroll;
    EXPECT_GT(bottom, 0);
    EXPECT_LE(bottom, page.ui.contentHeight - client.bottom + 1);
    SendMessageW(page.ui.window, WM_MOUSEWHEEL, MAKEWPARAM(0, WHEEL_DELTA), 0);
    EXPECT_EQ(page.ui.scroll, bottom - 60);
    SendMessageW(page.ui.window, WM_VSCROLL, SB_LINEDOWN, 0);
    EXPECT_EQ(page.ui.scroll, std::min(bottom, bottom - 60 + 32));
    // Controls move with the content.
    EXPECT_EQ(page.shownRect(GetDlgItem(page.ui.window, EnableButton)).top, page.rectOf(EnableButton).top - page.ui.scroll);

    // The content shrinks below the window: the position comes back into range.
    page.resize(1000, 1200);
    GetClientRect(page.ui.window, &client);
    EXPECT_GE(page.ui.scroll, 0);
    EXPECT_LE(page.ui.scroll, std::max<LONG>(0, page.ui.contentHeight - client.bottom + 1));

    // 150 %: new fonts, and the next layout and the minimum size use the new scale.
    const auto sizes = [&] {
        LOGFONTW font = {};
        GetObjectW(page.ui.fonts[1].get(), sizeof(font), &font);
        MINMAXINFO limits = {};
        SendMessageW(page.ui.window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
        const RECT enable = page.rectOf(EnableButton);
        return std::vector<LONG>{font.lfHeight, enable.bottom - enable.top, limits.ptMinTrackSize.x,
                                 limits.ptMinTrackSize.y};
    };
    const HGDIOBJ oldFont = page.ui.fonts[0].get();
    std::vector<LONG> scaled = sizes();
    for (LONG& size : scaled) size = size * 3 / 2;
    RECT suggested = {0, 0, 1500, 1275};
    SendMessageW(page.ui.window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_FLOAT_EQ(page.ui.scale, 1.5f);
    EXPECT_NE(page.ui.fonts[0].get(), oldFont);
    EXPECT_EQ(sizes(), scaled);
}

TEST_F(UiEnglish, BusyWindowIgnoresActionsAlsoWhenQueuedBefore) {
    PageWindow page(0);
    HWND languages = GetDlgItem(page.ui.window, LanguageBox);
    SendMessageW(languages, CB_SETCURSEL, 2, 0);
    PostMessageW(page.ui.window, WM_COMMAND, MAKEWPARAM(LanguageBox, CBN_SELENDOK),
                 reinterpret_cast<LPARAM>(languages));
    page.ui.downloading = true;  // busy after the command was queued
    page.ui.layout();
    pump();
    EXPECT_EQ(settings.language, 1u);
    for (HWND control : page.ui.controls) {
        const int id = GetDlgCtrlID(control);
        EXPECT_EQ(IsWindowEnabled(control) == FALSE, busyControl(id)) << id;
    }

    // Not busy: the language is saved and every text changes at once.
    page.ui.downloading = false;
    page.ui.layout();
    languages = GetDlgItem(page.ui.window, LanguageBox);
    SendMessageW(languages, CB_SETCURSEL, 2, 0);
    page.command(LanguageBox, CBN_SELCHANGE);  // an arrow key passing over the row
    EXPECT_EQ(settings.language, 1u);
    page.command(LanguageBox, CBN_SELENDOK);
    EXPECT_EQ(settings.language, 2u);
    EXPECT_EQ(readDword(HKEY_CURRENT_USER, RegistryPath, L"Language", 9), 2u);
    EXPECT_TRUE(page.hasLabel(L"Sprache"));
    EXPECT_EQ(windowText(GetDlgItem(page.ui.window, EnableButton)), L"Calmlane aktivieren");
}

// Keyboard: Esc and Enter through the dialog navigation, the focus across rebuilds, scrolling to it.
TEST_F(UiEnglish, EscEnterFocusAndScrolling) {
    settings.density = 300;
    settings.save();
    auto key = [](HWND page, WPARAM vk) {
        MSG message = {GetFocus(), WM_KEYDOWN, vk, 0, 0, {}};
        if (!IsDialogMessageW(page, &message)) DispatchMessageW(&message);
        pump();
    };
    {
        PageWindow page(1, 1000, 500);
        ShowWindow(page.ui.window, SW_SHOW);
        SetFocus(GetDlgItem(page.ui.window, DensityBar));
        for (int trigger = 0; trigger < 2; ++trigger) {
            HWND before = GetFocus();
            if (trigger == 0) page.resize(900, 480);
            if (trigger == 1) page.command(ResetButton);
            EXPECT_NE(GetFocus(), before) << trigger;  // a new control...
            EXPECT_EQ(GetFocus(), GetDlgItem(page.ui.window, DensityBar)) << trigger;  // ...with the same id
        }
        SetFocus(GetDlgItem(page.ui.window, SaveButton));  // far down: scrolled into view
        RECT client;
        GetClientRect(page.ui.window, &client);
        EXPECT_GT(page.ui.scroll, 0);
        EXPECT_LE(page.shownRect(GetFocus()).bottom, client.bottom);
        key(page.ui.window, VK_HOME);
        EXPECT_EQ(page.ui.scroll, 0);
        key(page.ui.window, VK_NEXT);
        EXPECT_GT(page.ui.scroll, 0);
        key(page.ui.window, VK_END);
        EXPECT_GE(page.ui.scroll, page.ui.contentHeight - client.bottom);
        settings.density = 500;
        key(page.ui.window, VK_ESCAPE);
        EXPECT_FALSE(IsWindow(page.ui.window));
        EXPECT_EQ(settings.density, 300);  // as Cancel
    }
    PageWindow modes(2);
    ShowWindow(modes.ui.window, SW_SHOW);
    SetFocus(GetDlgItem(modes.ui.window, FirewallRadio));
    key(modes.ui.window, VK_RETURN);
    EXPECT_EQ(modes.ui.dialogResult, 1);  // Continue
}

TEST_F(UiEnglish, CustomizeCancelUndoesAndSaveChecksTheIdleTime) {
    settings.density = 300;
    settings.save();
    int windowsSeconds = 0;
    SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &windowsSeconds, 0);
    {
        PageWindow page(1);
        HWND density = GetDlgItem(page.ui.window, DensityBar);
        ASSERT_NE(density, nullptr);
        SendMessageW(density, TBM_SETPOS, TRUE, 500);
        SendMessageW(page.ui.window, WM_HSCROLL, TB_THUMBTRACK, reinterpret_cast<LPARAM>(density));
        EXPECT_EQ(settings.density, 500);
        page.command(DisplaysBox, CBN_SELCHANGE);  // no selection change: the display mode stays
        SendMessageW(page.ui.window, WM_CLOSE, 0, 0);
        EXPECT_FALSE(IsWindow(page.ui.window));
        EXPECT_EQ(page.ui.dialogResult, 0);
    }
    EXPECT_EQ(settings.density, 300);
    EXPECT_EQ(readDword(HKEY_CURRENT_USER, RegistryPath, L"Density", 0), 300u);

    PageWindow page(1);
    page.ui.windowsDialog = true;  // "/c <hwnd>": one line instead of the field
    page.ui.layout();
    EXPECT_EQ(GetDlgItem(page.ui.window, IdleField), nullptr);
    EXPECT_TRUE(page.hasLabel(L"The wait time is set in the Windows screen saver dialog."));
    page.ui.windowsDialog = false;
    page.ui.layout();
    test::BoxWatcher watcher;
    HWND idle = GetDlgItem(page.ui.window, IdleField);
    for (const wchar_t* typed : {L"0", L"241", L""}) {
        SetWindowTextW(idle, typed);
        page.command(SaveButton);
        EXPECT_TRUE(IsWindow(page.ui.window)) << typed;
    }
    ASSERT_EQ(watcher.boxes().size(), 3u);
    EXPECT_EQ(watcher.boxes()[0].text, L"Choose 1 to 240 minutes.");
    int seconds = 0;
    SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &seconds, 0);
    EXPECT_EQ(seconds, windowsSeconds);

    // Untouched field: Save keeps the Windows delay and confirms the page.
    page.ui.idleEdited = false;
    page.command(SaveButton);
    EXPECT_FALSE(IsWindow(page.ui.window));
    EXPECT_EQ(page.ui.dialogResult, 1);
    SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &seconds, 0);
    EXPECT_EQ(seconds, windowsSeconds);
}

// The owner is enabled while its page still exists, so that Windows gives the activation back to it
// (Windows' own screen saver dialog, for the "/c" page) and not to another application.
bool pageAliveAtEnable = false;
LRESULT CALLBACK ownerProbe(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_ENABLE && wParam) pageAliveAtEnable = FindWindowW(UiClass, nullptr) != nullptr;
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(UiCommands, APageEnablesItsOwnerBeforeItGoes) {
    instance = GetModuleHandleW(nullptr);
    HWND owner = test::createProbeWindow(L"CalmlaneOwnerProbe", ownerProbe, WS_POPUP);
    ASSERT_NE(owner, nullptr);
    for (const int page : {1, 3}) {
        pageAliveAtEnable = false;
        std::thread closer([] {
            HWND shown = nullptr;
            test::waitUntil([&] { return (shown = FindWindowW(UiClass, nullptr)) != nullptr; }, 10000);
            PostMessageW(shown, WM_CLOSE, 0, 0);
        });
        EXPECT_EQ(showPage(owner, page), 0);
        closer.join();
        EXPECT_TRUE(pageAliveAtEnable) << page;
    }
    DestroyWindow(owner);
}

TEST_F(UiEnglish, NestedPageLoopHandsTheQuitBack) {
    instance = GetModuleHandleW(nullptr);
    HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, instance, nullptr);
    PostQuitMessage(7);
    EXPECT_EQ(showPage(owner, 3), 0);
    EXPECT_TRUE(IsWindowEnabled(owner));
    MSG message;
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_EQ(FindWindowW(UiClass, nullptr), nullptr);  // the page went with its loop
    DestroyWindow(owner);

    // A close that reaches the main window while its modal page is open waits for the page.
    PageWindow page(0);
    HWND main = page.ui.window;
    std::thread closer([main] {
        HWND about = nullptr;
        test::waitUntil([&] { return (about = FindWindowW(UiClass, L"About Calmlane")) != nullptr; }, 10000);
        if (about == nullptr) about = FindWindowW(UiClass, nullptr);  // whatever its title: never leave it open
        PostMessageW(main, WM_CLOSE, 0, 0);
        Sleep(200);
        EXPECT_TRUE(IsWindow(main));
        PostMessageW(about, WM_COMMAND, CancelButton, 0);
    });
    page.command(AboutButton);
    closer.join();
    EXPECT_TRUE(pumpUntil([&] { return !IsWindow(main); }, 5000));
}

TEST(UiDrawing, ShadingFlagsAndGdiUseStaysFlat) {
    EXPECT_EQ(shaded(RGB(10, 100, 250), true, true), RGB(0, 82, 232));
    EXPECT_EQ(shaded(RGB(10, 100, 250), false, true), RGB(3, 93, 243));
    EXPECT_EQ(shaded(RGB(10, 100, 250), false, false), RGB(10, 100, 250));

    test::RegistryScratch scratch;
    PageWindow page(0);
    test::PixelSurface surface(400, 60);
    HWND button = GetDlgItem(page.ui.window, EnableButton);
    auto draw = [&](int i) {
        paintUi(page.ui, surface.dc());
        SetPropW(button, L"Hover", reinterpret_cast<HANDLE>(static_cast<INT_PTR>(i % 2)));
        DRAWITEMSTRUCT item = {ODT_BUTTON, EnableButton, 0, ODA_DRAWENTIRE, 0, button, surface.dc(), {0, 0, 400, 52}, 0};
        drawButton(page.ui, item);
        item = {ODT_COMBOBOX, LanguageBox, static_cast<UINT>(i % 6), ODA_DRAWENTIRE, ODS_SELECTED,
                GetDlgItem(page.ui.window, LanguageBox), surface.dc(), {0, 0, 240, 32}, 0};
        drawLanguageRow(page.ui, item);
    };
    for (int i = 0; i < 20; ++i) draw(i);
    const unsigned before = test::gdiHighWater();
    for (int i = 0; i < 200; ++i) page.ui.layout();
    for (int i = 0; i < 1000; ++i) draw(i);
    const unsigned after = test::gdiHighWater();
    EXPECT_LE(after, before + 50) << "before " << before << ", after " << after;  // a leak per paint shows as 1,000
    RemovePropW(button, L"Hover");

    // Each language has a flag of its own; a language without one draws nothing.
    std::vector<std::vector<COLORREF>> flags;
    for (int language = 0; language <= 6; ++language) {
        surface.clear(RGB(1, 2, 3));
        flag(surface.dc(), RECT{0, 0, 30, 21}, language);
        std::vector<COLORREF> pixels;
        for (int y = 0; y < 21; ++y) {
            for (int x = 0; x < 30; ++x) pixels.push_back(surface.pixel(x, y));
        }
        EXPECT_EQ(std::count(pixels.begin(), pixels.end(), RGB(1, 2, 3)) == 30 * 21, language == 6) << language;
        EXPECT_EQ(std::count(flags.begin(), flags.end(), pixels), 0) << language;
        flags.push_back(pixels);
    }
}

// Screen readers name a control without text of its own after the static control created just before it.
TEST_F(UiEnglish, CaptionsComeRightBeforeTheControlsTheyName) {
    const struct {
        int page, id;
        const wchar_t* name;
    } named[] = {{0, LanguageBox, L"Language"},
                 {1, DensityBar, L"Density (40–600)"},
                 {1, SpeedBar, L"Speed (1–12)"},
                 {1, IdleField, L"Idle time (1 to 240 minutes)"},
                 {1, DisplaysBox, L"Multiple displays"}};
    for (int p = 0; p < 2; ++p) {
        PageWindow page(p);
        for (const auto& n : named) {
            if (n.page != p) continue;
            HWND previous = GetWindow(GetDlgItem(page.ui.window, n.id), GW_HWNDPREV);
            wchar_t className[16] = {};
            GetClassNameW(previous, className, 16);
            EXPECT_EQ(lstrcmpiW(className, L"Static"), 0) << n.id;
            EXPECT_EQ(windowText(previous), n.name) << n.id;
        }
        if (p == 0) {  // the status card reads as text; owner-drawn buttons keep theirs
            EXPECT_EQ(windowText(GetDlgItem(page.ui.window, StatusCard)).rfind(L"Status: not installed.\r\n", 0), 0u);
            EXPECT_EQ(windowText(GetDlgItem(page.ui.window, EnableButton)), L"Enable Calmlane");
        }
    }
}

TEST(UiDrawing, HighContrastTakesTheSystemColoursAndFocusHasAMarkOfItsOwn) {
    test::RegistryScratch scratch;
    test::deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey);
    PageWindow page(0);
    test::PixelSurface surface(400, 60);
    HWND button = GetDlgItem(page.ui.window, EnableButton);
    auto draw = [&](UINT state) {
        surface.clear(RGB(1, 2, 3));
        DRAWITEMSTRUCT item = {ODT_BUTTON,   EnableButton, 0, ODA_DRAWENTIRE, state,
                               button,       surface.dc(), {0, 0, 400, 52}, 0};
        drawButton(page.ui, item);
    };
    // Hover thickens the border; focus draws a dotted mark inside, unless the keyboard cues are hidden.
    const COLORREF fill = RGB(215, 232, 254), border = RGB(132, 172, 220);
    const struct {
        UINT state;
        bool hover, mark;
    } states[] = {
        {0, false, false}, {0, true, false}, {ODS_FOCUS, false, true}, {ODS_FOCUS | ODS_NOFOCUSRECT, false, false}};
    for (const auto& c : states) {
        if (c.hover) SetPropW(button, L"Hover", reinterpret_cast<HANDLE>(1));
        draw(c.state);
        RemovePropW(button, L"Hover");
        EXPECT_EQ(surface.pixel(3, 26), c.hover ? border : fill) << c.state;
        int marked = 0;
        for (int x = 60; x < 340; ++x) marked += surface.pixel(x, 8) != shaded(fill, false, c.hover);
        EXPECT_EQ(marked > 0, c.mark) << c.state << " " << marked;
    }

    doubles::storeSetDword(L"HighContrast", 1);
    SendMessageW(page.ui.window, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    ASSERT_TRUE(page.ui.highContrast);
    draw(0);
    EXPECT_EQ(surface.pixel(40, 26), GetSysColor(COLOR_BTNFACE));
    paintUi(page.ui, surface.dc());
    EXPECT_EQ(surface.pixel(5, 1), GetSysColor(COLOR_WINDOWTEXT));  // the accent stripe
    EXPECT_EQ(surface.pixel(5, 20), GetSysColor(COLOR_WINDOW));    // the header band
    const StaticColors card = staticColors(page.ui, GetDlgItem(page.ui.window, StatusCard));
    EXPECT_EQ(card.back, GetSysColor(COLOR_WINDOW));
    EXPECT_EQ(card.text, GetSysColor(COLOR_WINDOWTEXT));
    doubles::storeSetDword(L"HighContrast", 0);
    SendMessageW(page.ui.window, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    EXPECT_FALSE(page.ui.highContrast);
    test::deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey);
}

// Scales and monitors: flags keep their shape, background results leave the window where the user put
// it, and the status card follows changes made elsewhere.
TEST_F(UiEnglish, FlagsKeepTheirShapeAndTheWindowStaysWhereTheUserPutIt) {
    const struct {
        int rowHeight;
        double scale;
    } rows[] = {{32, 1}, {22, 1}, {14, 1}, {40, 1.25}, {64, 2}, {28, 2}};
    for (const auto& r : rows) {
        const RECT row = {10, 100, 250, 100 + r.rowHeight};
        const RECT f = flagRect(row, r.scale);
        const int w = f.right - f.left, h = f.bottom - f.top;
        EXPECT_LE(std::abs(2 * w - 3 * h), 1) << r.rowHeight << " @" << r.scale << ": " << w << "×" << h;
        EXPECT_GE(h, r.rowHeight / 3) << r.rowHeight;
        EXPECT_TRUE(f.top >= row.top && f.bottom <= row.bottom && f.right < row.left + scaled(50, r.scale));
    }

    PageWindow page(0, 1000, 500);
    SetWindowPos(page.ui.window, nullptr, 40, 30, 900, 520, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT before, after;
    GetWindowRect(page.ui.window, &before);
    postOwned(page.ui.window, AutomaticCheckDone,
              std::make_unique<UpdateInfo>(UpdateInfo{true, true, L"1.2.0", L"https://example.invalid/"}));
    pump();
    GetWindowRect(page.ui.window, &after);
    EXPECT_NE(GetDlgItem(page.ui.window, UpdateButton), nullptr);
    EXPECT_TRUE(EqualRect(&before, &after));

    const struct {
        UINT message;
        WPARAM wParam;
        DWORD modeConfigured;
    } changes[] = {{WM_SETTINGCHANGE, 0, 1}, {WM_ACTIVATE, WA_ACTIVE, 0}};
    for (const auto& c : changes) {
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", c.modeConfigured);
        SendMessageW(page.ui.window, c.message, c.wParam, 0);
        EXPECT_EQ(windowText(GetDlgItem(page.ui.window, StatusCard)).find(L"choose mode on first activation") == std::wstring::npos,
                  c.modeConfigured == 1)
            << c.message;
    }
}

// The capture is a top-down 32-bit bitmap of the client area, the child controls included.
TEST(UiCapture, WritesATopDownBitmapWithTheControls) {
    test::RegistryScratch scratch;
    const std::wstring path = (std::filesystem::temp_directory_path() / L"calmlane-capture.bmp").wstring();
    PageWindow page(1);
    ShowWindow(page.ui.window, SW_SHOWNOACTIVATE);
    pump();
    capture(page.ui.window, path);
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in), {}};
    in.close();
    DeleteFileW(path.c_str());
    const auto u32 = [&](std::size_t at) {
        return static_cast<std::int32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | bytes[at + 3] << 24);
    };
    RECT client;
    GetClientRect(page.ui.window, &client);
    ASSERT_EQ(bytes.size(), 54u + 4u * client.right * client.bottom);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 2), "BM");
    const struct {
        std::size_t at;
        std::int32_t value;
    } header[] = {{2, static_cast<std::int32_t>(bytes.size())}, {10, 54}, {14, 40}, {18, client.right},
                  {22, -client.bottom}, {28, 32}, {30, 0}};
    for (const auto& field : header) EXPECT_EQ(u32(field.at), field.value) << field.at;  // 28: bit count, then compression
    const RECT density = page.rectOf(DensityBar);
    int drawn = 0;
    for (int x = density.left; x < density.right; ++x) {
        for (int y = density.top; y < density.bottom; ++y) {
            const std::size_t at = 54 + (static_cast<std::size_t>(y) * client.right + x) * 4;
            drawn += RGB(bytes[at + 2], bytes[at + 1], bytes[at]) != palette::Background;
        }
    }
    EXPECT_GT(drawn, 200);  // the track bar's channel and thumb, not the page's background
    test::PixelSurface painted(client.right, client.bottom);
    paintUi(page.ui, painted.dc());
    const std::size_t stripe = 54 + (static_cast<std::size_t>(client.right) + 5) * 4;  // at (5, 1)
    EXPECT_EQ(RGB(bytes[stripe + 2], bytes[stripe + 1], bytes[stripe]), painted.pixel(5, 1));  // the page's painting
}

// Enable and disable against the installed test service, as the buttons run them.
TEST_F(UiEnglish, EnableAsksForTheModeFirstAndDisableReportsOnce) {
    test::InstalledService service;
    ASSERT_TRUE(service.start());
    PageWindow page(0);
    {
        // No mode chosen yet: the mode page comes first, and Cancel there changes nothing.
        std::thread cancel([] {
            HWND modePage = nullptr;
            test::waitUntil([&] { return (modePage = FindWindowW(UiClass, L"Network interruption mode")) != nullptr; }, 10000);
            if (modePage != nullptr) PostMessageW(modePage, WM_COMMAND, CancelButton, 0);
        });
        page.command(EnableButton);
        cancel.join();
        EXPECT_EQ(page.ui.operation, nullptr);
        EXPECT_FALSE(calmlaneSelected());
        EXPECT_TRUE(IsWindowEnabled(page.ui.window));
    }
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    test::BoxWatcher watcher;
    SendMessageW(page.ui.window, WM_COMMAND, EnableButton, 0);  // no pumping: the running state is seen
    ASSERT_NE(page.ui.operation, nullptr);
    EXPECT_EQ(windowText(GetDlgItem(page.ui.window, EnableButton)), L"Enabling…");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(page.ui.window, DisableButton)));
    ASSERT_TRUE(pumpUntil([&] { return page.ui.operation == nullptr; }));
    EXPECT_TRUE(calmlaneSelected());
    EXPECT_TRUE(watcher.boxes().empty());
    EXPECT_TRUE(page.hasLabel(L"Calmlane screen saver: enabled"));

    page.command(DisableButton);
    ASSERT_TRUE(pumpUntil([&] { return page.ui.operation == nullptr && !watcher.boxes().empty(); }));
    EXPECT_FALSE(calmlaneSelected());
    ASSERT_EQ(watcher.boxes().size(), 1u);
    EXPECT_EQ(watcher.boxes()[0].text.rfind(L"Calmlane is no longer selected as the screen saver.", 0), 0u);

    // Closing during a disable waits for it, then closes without the box.
    page.command(EnableButton);
    ASSERT_TRUE(pumpUntil([&] { return page.ui.operation == nullptr; }));
    SendMessageW(page.ui.window, WM_COMMAND, DisableButton, 0);  // no pumping: the close comes while it runs
    SendMessageW(page.ui.window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(page.ui.window));
    ASSERT_TRUE(pumpUntil([&] { return !IsWindow(page.ui.window); }));
    EXPECT_FALSE(calmlaneSelected());
    EXPECT_EQ(watcher.boxes().size(), 1u);
}

// What the organisation sets is said and not offered; a "Policy" setting change brings the actions back.
TEST_F(UiEnglish, WhatTheOrganisationSetsIsSaidAndNotOffered) {
    writeDword(HKEY_LOCAL_MACHINE, PolicyKey, L"NetworkMode", 2);
    writeDword(HKEY_LOCAL_MACHINE, PolicyKey, L"DisableUpdateCheck", 1);
    writeDword(HKEY_LOCAL_MACHINE, PolicyKey, L"DisableSupportCounter", 1);
    writeString(HKEY_CURRENT_USER, SaverPolicyKey, L"ScreenSaveActive", L"0");
    writeString(HKEY_CURRENT_USER, SaverPolicyKey, L"ScreenSaveTimeOut", L"90");
    PageWindow page(0);
    page.ui.updateInfo.available = true;  // an answer from before the policy
    page.ui.layout();
    const auto enabled = [&page](int id) { return IsWindowEnabled(GetDlgItem(page.ui.window, id)) != FALSE; };
    for (int id : {NetworkModeButton, EnableButton}) EXPECT_FALSE(enabled(id)) << id;
    for (int id : {SupportButton, CheckUpdatesButton, UpdateButton}) EXPECT_EQ(GetDlgItem(page.ui.window, id), nullptr);
    for (const wchar_t* line : {L"turns the screen saver off: Calmlane cannot be enabled.",
                                L"Configured mode: Disable network adapters\r\nThe network interruption mode is set by "
                                L"your organisation.",
                                L"Updates are managed by your organisation."}) {
        EXPECT_TRUE(page.hasLabel(line)) << test::narrow(line);
    }
    page.command(EnableButton);  // queued before the button was disabled: nothing starts
    EXPECT_EQ(page.ui.operation, nullptr);
    {
        PageWindow customise(1);  // the forced delay, shown and fixed
        EXPECT_TRUE(customise.hasLabel(L"Idle time, set by your organisation: 1 min 30 s"));
        EXPECT_EQ(windowText(GetDlgItem(customise.ui.window, IdleField)), L"2");
        EXPECT_FALSE(IsWindowEnabled(GetDlgItem(customise.ui.window, IdleField)));
    }
    test::deleteTree(HKEY_LOCAL_MACHINE, PolicyKey);
    test::deleteTree(HKEY_CURRENT_USER, SaverPolicyKey);
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1);
    SendMessageW(page.ui.window, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Policy"));
    for (int id : {NetworkModeButton, EnableButton, SupportButton, CheckUpdatesButton}) EXPECT_TRUE(enabled(id)) << id;
    EXPECT_TRUE(page.hasLabel(L"Configured mode: Block with Windows Firewall"));
}

// Whole processes: each start opens its own window, "/c" with Windows' dialog opens only the customise
// page, and the report and the elevated recovery answer with their boxes.
struct WindowProcess : test::WindowedChild {
    explicit WindowProcess(const std::wstring& arguments)
        : WindowedChild(test::binFolder() + L"\\Calmlane.exe", arguments, UiClass) {}
};

TEST(UiProcess, CopiesOpenTheirOwnWindowsAndSlashCOnlyTheCustomisePage) {
    test::EnglishUser english;
    {
        WindowProcess first(L""), second(L"");
        ASSERT_EQ(first.windows().size(), 1u);
        ASSERT_EQ(second.windows().size(), 1u);
        EXPECT_EQ(windowText(first.windows()[0]), L"Calmlane");
        // Result messages that another process posts, their lParam no record of the window's, are ignored.
        for (UINT message = AutomaticCheckDone; message <= DownloadDone; ++message) {
            PostMessageW(first.windows()[0], message, 0, 0x10);
        }
        for (const WindowProcess* copy : {&first, &second}) PostMessageW(copy->windows()[0], WM_CLOSE, 0, 0);
        EXPECT_EQ(first.exitWithin(10000), 0u);
        EXPECT_EQ(second.exitWithin(10000), 0u);
    }
    // Windows' dialog hands its handle over in either form: the page is owned by and modal to it, and
    // leaves the idle delay to it.
    HWND dialog =
        CreateWindowExW(0, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    const std::wstring handle = std::to_wstring(reinterpret_cast<UINT_PTR>(dialog));
    for (const std::wstring& arguments : {L"/c:" + handle, L"/c " + handle}) {
        WindowProcess hosted(arguments);
        ASSERT_EQ(hosted.windows().size(), 1u) << arguments;
        HWND page = hosted.windows()[0];
        EXPECT_EQ(windowText(page), L"Customize the screen saver");
        EXPECT_EQ(GetWindow(page, GW_OWNER), dialog);
        EXPECT_TRUE(pumpUntil([&] { return !IsWindowEnabled(dialog); }, 5000));
        EXPECT_EQ(GetDlgItem(page, IdleField), nullptr);
        PostMessageW(page, WM_COMMAND, CancelButton, 0);
        EXPECT_TRUE(pumpUntil([&] { return hosted.exitWithin(0) == 0; }, 10000));
        EXPECT_TRUE(IsWindowEnabled(dialog));
    }
    DestroyWindow(dialog);
}

TEST(UiProcess, ReportAndRecoveryAnswerWithTheirBoxes) {
    test::EnglishUser english;
    test::BoxWatcher watcher(IDOK, 0);  // the window's boxes and those of its elevated copy
    {
        WindowProcess window(L"");
        ASSERT_EQ(window.windows().size(), 1u);
        PostMessageW(window.windows()[0], WM_COMMAND, ConfigurationButton, 0);
        EXPECT_TRUE(watcher.waitFor(L"Windows service: stopped or missing"));
        // Without the service the elevated recovery fails (its own box), and the window says so.
        PostMessageW(window.windows()[0], WM_COMMAND, RestoreButton, 0);
        EXPECT_TRUE(watcher.waitFor(L"Recovery request failed. Retry with administrator rights or restart Windows."));
        EXPECT_EQ(window.close(), 0u);
    }
    test::InstalledService service;
    ASSERT_TRUE(service.start());
    WindowProcess window(L"");
    ASSERT_EQ(window.windows().size(), 1u);
    PostMessageW(window.windows()[0], WM_COMMAND, RestoreButton, 0);
    EXPECT_TRUE(watcher.waitFor(
        L"Recovery requested. Click “Check configuration” for the status; reconnection can take a few seconds."));
    EXPECT_EQ(window.close(), 0u);
}

}  // namespace
}  // namespace calmlane
