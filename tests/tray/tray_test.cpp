// The tray's texts, its drawn icon and balloons, and the real companion under Wine's shell.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "app/localization.h"
#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/settings.h"
#include "saver/star_field.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"
#include "tray/network_status.h"
#include "tray/tray.h"
#include "tray/tray_model.h"
#include "update/web_services.h"

namespace calmlane {
namespace {

// The tooltip and the menu in every language (the decisions behind them are in tray_model_test.cpp).
// A menu is written as its ids, each followed by + when enabled and a space.
TEST(TrayTexts, TooltipAndMenuFollowTheSelectionAndTheOperation) {
    const struct { bool selected; const wchar_t* operation; std::string menu; } rows[] = {
        {false, L"", "6+ 0 3+ 4 0 1+ 2+ "},
        {true, L"", "6+ 0 3 4+ 0 1+ 2+ "},
        {true, L"Disabling…", "6+ 0 3 4 0 1 2 0 5 "}};
    const unsigned long saved = settings.language;
    for (settings.language = 0; settings.language < LanguageCount; ++settings.language) {
        for (const auto& row : rows) {
            const std::wstring plain = trayTooltip(row.selected, false, L"");
            const std::wstring withUpdate = trayTooltip(row.selected, true, L"");
            EXPECT_NE(plain, trayTooltip(!row.selected, false, L""));
            EXPECT_TRUE(withUpdate.size() > plain.size() && withUpdate.starts_with(plain)) << withUpdate.c_str();
            EXPECT_EQ(trayTooltip(row.selected, true, L"Enabling…"), L"Enabling…");
            std::string menu;
            std::set<std::wstring> labels;
            for (const MenuEntry& e : trayMenu(row.selected, row.operation)) {
                menu += std::to_string(e.id) + (e.enabled ? "+ " : " ");
                EXPECT_EQ(e.label.empty(), e.id == 0) << e.id;  // a text for every item, each its own
                EXPECT_TRUE(e.id == 0 || labels.insert(e.label).second) << e.id;
                if (e.id == OperationItem) {
                    EXPECT_EQ(e.label, row.operation);
                }
            }
            EXPECT_EQ(menu, row.menu);
        }
    }
    // In English, the texts that go with each state and command.
    settings.language = 1;
    EXPECT_EQ(trayTooltip(true, false, L""), L"Calmlane — selected screen saver");
    EXPECT_EQ(trayMenu(false, L"")[2].label, L"Enable the screen saver");
    settings.language = saved;
}

// The restore button's exact name, quoted as each language quotes, wherever a tray text names it; and
// French puts a no-break space before every colon, which keeps the colon off the start of a line.
TEST(TrayTexts, QuotedButtonNamesAndFrenchColons) {
    const wchar_t* marks[][2] = {{L"«\u00A0", L"\u00A0»"}, {L"“", L"”"}, {L"„", L"“"},
                                 {L"“", L"”"},         {L"«", L"»"},         {L"«", L"»"}};
    StatusFacts facts;
    facts.selected = facts.activeRead = facts.active = facts.timeoutRead = facts.serviceRunning = true;
    facts.timeoutSeconds = 90;
    const unsigned long saved = settings.language;
    for (unsigned long language = 0; language < 6; ++language) {
        settings.language = language;
        const std::wstring recovery = recoveryBalloonText();
        const std::wstring name = std::wstring(marks[language][0]) + restoreNetworkText() + marks[language][1];
        EXPECT_NE(recovery.find(name), std::wstring::npos) << language;
        if (language != 0) continue;
        for (const std::wstring& text : {recovery, updateBalloonText(L"1.2"), statusText(facts), overlayText(false, true),
                                         configurationReport()}) {
            for (std::size_t colon = text.find(L':'); colon != std::wstring::npos; colon = text.find(L':', colon + 1)) {
                EXPECT_TRUE(colon > 0 && text[colon - 1] == L'\u00A0') << text.c_str();
            }
        }
    }
    settings.language = saved;
}

// The small-icon size of the taskbar's scale, not a 32-pixel icon shrunk by the shell.
TEST(TrayIcon, AnOpaqueShieldOnATransparentSquareAtTheTaskbarsScale) {
    const auto opaque = [](unsigned long rgb) {  // as a 32-bit DIB stores it: 0xAARRGGBB
        return 0xFF000000 | (rgb & 0xFF) << 16 | (rgb & 0xFF00) | (rgb >> 16 & 0xFF);
    };
    const struct { UINT dpi; int size; unsigned long colour; } rows[] = {
        {96, 16, AttentionColour}, {120, 20, SelectedColour}, {144, 24, IdleColour}, {192, 32, SelectedColour}};
    for (const auto& row : rows) {
        const int size = trayIconSize(row.dpi);
        ASSERT_EQ(size, row.size);
        UniqueIcon icon(drawShieldIcon(row.colour, size));
        ICONINFO parts = {};
        ASSERT_TRUE(icon && GetIconInfo(icon.get(), &parts));
        UniqueGdiObject colourBitmap(parts.hbmColor), mask(parts.hbmMask);
        BITMAP shape = {};
        ASSERT_TRUE(GetObjectW(colourBitmap.get(), sizeof(shape), &shape));
        EXPECT_EQ(shape.bmWidth, size);
        BITMAPINFO info = topDownBitmapInfo(size, size);
        std::vector<DWORD> pixels(static_cast<std::size_t>(size * size));
        UniqueDc dc(CreateCompatibleDC(nullptr));
        ASSERT_EQ(GetDIBits(dc.get(), static_cast<HBITMAP>(colourBitmap.get()), 0, size, pixels.data(), &info,
                            DIB_RGB_COLORS), size);
        const auto& top = shieldShape(size).points[0];
        EXPECT_EQ(pixels[size / 2 * size + size / 2], opaque(row.colour)) << size;
        EXPECT_EQ(pixels[top[1] * size + top[0]], opaque(OutlineColour)) << size;
        EXPECT_EQ(pixels[0] | pixels.back(), 0u);  // outside the shield: transparent
    }
}

TEST(TrayBalloon, OnlyATrustedAddressIsAnnouncedAndRecordedOnceShown) {
    test::RegistryScratch scratch;
    UpdateInfo info;
    info.available = true;
    info.version = L"1.2.0";
    info.url = DownloadPage;
    notifyUpdate(info);  // no icon yet: the shell refuses the balloon
    EXPECT_FALSE(test::valueExists(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion"));

    instance = GetModuleHandleW(nullptr);
    HWND window = test::createProbeWindow(L"CalmlaneTrayBalloonTest", proc);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(addTrayIcon(window));
    info.url = L"https://elsewhere.example/";
    notifyUpdate(info);
    EXPECT_FALSE(test::valueExists(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion"));
    info.url = DownloadPage;
    notifyUpdate(info);
    DestroyWindow(window);  // takes the icon away and posts the quit message
    MSG quit;
    PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);
    std::wstring notified;
    ASSERT_TRUE(readString(HKEY_CURRENT_USER, RegistryPath, L"NotifiedVersion", notified));
    EXPECT_EQ(notified, L"1.2.0");
}

// The test variant installed with its service: the real companion, its single instance and its exit.
TEST(TrayCompanion, RunsOnceWhileTheServiceRunsAndLeavesWithIt) {
    test::RegistryScratch scratch;
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    const std::wstring program = test::binFolder() + L"\\Calmlane-test.exe";
    const auto quietExit = [](const test::ChildResult& run) {
        return run.finished && run.exitCode == 0 && run.boxes.empty();
    };
    {
        test::InstalledService stopped;  // installed, not started
        EXPECT_TRUE(quietExit(test::runChild(program, L"--tray", 10000)));
    }
    test::InstalledService service;
    ASSERT_TRUE(service.start());
    const test::StartedChild child = test::startChild(program, L"--tray");
    const UniqueHandle& tray = child.process;
    ASSERT_TRUE(tray);
    const HWND window = test::waitForWindow(child.id, TrayWindowClass);
    ASSERT_NE(window, nullptr);

    EXPECT_TRUE(quietExit(test::runChild(program, L"--tray", 10000)));  // a second one leaves the first
    EXPECT_EQ(FindWindowW(TrayWindowClass, nullptr), window);

    // A new taskbar knows no icons: the tray adds its own again and carries on. A result message that
    // another process posts, its lParam no record of the tray's, is ignored.
    NOTIFYICONDATAW icon = {};
    icon.cbSize = sizeof(icon);
    icon.hWnd = window;
    icon.uID = 1;  // the tray's one icon
    ASSERT_TRUE(Shell_NotifyIconW(NIM_DELETE, &icon));  // false when the shell has no such icon
    SendMessageTimeoutW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0, SMTO_ABORTIFHUNG, 5000, nullptr);
    EXPECT_TRUE(Shell_NotifyIconW(NIM_MODIFY, &icon));
    PostMessageW(window, TrayUpdateChecked, 0, 0x10);
    EXPECT_EQ(WaitForSingleObject(tray.get(), 1500), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_TRUE(service.stop());
    ASSERT_EQ(WaitForSingleObject(tray.get(), 5000), WAIT_OBJECT_0) << "the tray outlived the service";
    DWORD code = 99;
    GetExitCodeProcess(tray.get(), &code);
    EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace calmlane
