#include "main/dispatch.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "app/local_path.h"

namespace calmlane {
namespace {

Dispatch decide(std::vector<std::wstring> tail) {
    tail.insert(tail.begin(), L"C:\\Program Files\\Calmlane\\Calmlane.exe");
    return decideRole(tail);
}

TEST(Dispatch, OptionsSelectTheirRolesExactlyAndCaseSensitively) {
    const struct {
        const wchar_t* argument;
        Role role;
    } rows[] = {
        {L"--tray", Role::Tray},
        {L"--restore-network", Role::RestoreNetwork},
        {L"--service", Role::Service},
        {L"--mode-firewall", Role::ModeFirewall},
        {L"--mode-adapters", Role::ModeAdapters},
        {L"--activate", Role::Activate},
        {L"--deactivate", Role::Deactivate},
        {L"--uninstall", Role::Uninstall},
        {L"--diagnostics", Role::Diagnostics},
        {L"--preview", Role::Preview},
        {L"--preview-test", Role::PreviewTest},
        {L"--network-test", Role::NetworkTest},
        {L"--TRAY", Role::Window},
        {L"--tray ", Role::Window},
        {L"--preview-tests", Role::Window},
        {L"unknown", Role::Window},
        {L"", Role::Window},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(decide({row.argument}).role, row.role) << "argument: " << row.argument;
    }
    EXPECT_EQ(decide({}).role, Role::Window);
    // Only the role argument decides: later arguments never select a role.
    EXPECT_EQ(decide({L"--tray", L"--service"}).role, Role::Tray);
    EXPECT_EQ(decide({L"x", L"--service"}).role, Role::Window);
    // "--quiet" anywhere after the role argument, never as it.
    EXPECT_TRUE(decide({L"--mode-firewall", L"--x", L"--quiet"}).quiet);
    EXPECT_TRUE(decide({L"--mode-adapters", L"--quiet"}).quiet);
    EXPECT_FALSE(decide({L"--quiet", L"--mode-firewall"}).quiet);
    EXPECT_FALSE(decide({L"--diagnostics", L"--QUIET"}).quiet);
}

TEST(Dispatch, SetTimeoutNeedsAValueAndReadsItLikeWtoi) {
    EXPECT_EQ(decide({L"--set-timeout"}).role, Role::Window);
    const struct {
        const wchar_t* value;
        unsigned minutes;
    } values[] = {{L"5", 5}, {L"240", 240}, {L"abc", 0}, {L"12abc", 12}, {L"  7", 7}, {L"", 0}, {L"+3", 3}};
    for (const auto& v : values) {
        const Dispatch d = decide({L"--set-timeout", v.value});
        EXPECT_EQ(d.role, Role::SetTimeout);
        EXPECT_EQ(d.timeoutMinutes, v.minutes);
    }
    // A negative count reaches the range check as a huge unsigned number, never as a valid delay.
    EXPECT_GT(decide({L"--set-timeout", L"-1"}).timeoutMinutes, 240u);
}

TEST(Dispatch, ScreenSaverArgumentsIgnoreCase) {
    EXPECT_EQ(decide({L"/s"}).role, Role::ScreenSaver);
    EXPECT_EQ(decide({L"/S"}).role, Role::ScreenSaver);
    EXPECT_EQ(decide({L"/s:1"}).role, Role::Window);
    EXPECT_EQ(decide({L"/sx"}).role, Role::Window);

    const Dispatch configure = decide({L"/c:4567"});
    EXPECT_EQ(configure.role, Role::Window);
    EXPECT_EQ(configure.requestedPage, 1);
    EXPECT_FALSE(configure.uiTest);
    EXPECT_EQ(decide({L"/C"}).requestedPage, 1);
    EXPECT_EQ(decide({}).requestedPage, 0);
    // Windows' own dialog comes in decimal, after the colon or as the next argument.
    const struct {
        std::vector<std::wstring> args;
        std::uint64_t dialog;
    } owners[] = {{{L"/c:4567"}, 4567}, {{L"/C", L"918"}, 918}, {{L"/c:12", L"34"}, 12}, {{L"/c"}, 0},
                  {{L"/c", L"x"}, 0}, {{L"--ui-test", L"1", L"1", L"f.bmp"}, 0}};
    for (const auto& o : owners) EXPECT_EQ(decide(o.args).settingsDialog, o.dialog) << o.args[0];
}

TEST(Dispatch, PreviewHandleComesAfterTheColonOrAsTheNextArgument) {
    EXPECT_EQ(decide({L"/P:123"}).previewWindow, 123u);
    EXPECT_EQ(decide({L"/p:123", L"456"}).previewWindow, 123u);
    EXPECT_EQ(decide({L"/p", L"456"}).previewWindow, 456u);
    EXPECT_EQ(decide({L"/p"}).previewWindow, 0u);
    EXPECT_EQ(decide({L"/p", L"0"}).previewWindow, 0u);
    EXPECT_EQ(decide({L"/p:"}).previewWindow, 0u);
    EXPECT_EQ(decide({L"/p:12:34"}).previewWindow, 12u);
    EXPECT_EQ(decide({L"/pxyz", L"77"}).previewWindow, 77u);
    EXPECT_EQ(decide({L"/p", L"18446744073709551615"}).previewWindow, UINT64_MAX);
    EXPECT_EQ(decide({L"/p", L"99999999999999999999"}).previewWindow, UINT64_MAX);  // saturates
    EXPECT_EQ(decide({L"/p", L"abc"}).previewWindow, 0u);
    EXPECT_EQ(decide({L"/p"}).role, Role::EmbeddedPreview);
}

TEST(Dispatch, UiTestClampsLanguageAndPage) {
    const Dispatch d = decide({L"--ui-test", L"9", L"-1", L"C:\\out.bmp"});
    EXPECT_EQ(d.role, Role::Window);
    EXPECT_TRUE(d.uiTest);
    EXPECT_EQ(d.uiLanguage, 5u);
    EXPECT_EQ(d.requestedPage, 0);
    EXPECT_EQ(d.snapshotPath, L"C:\\out.bmp");
    EXPECT_TRUE(d.snapshotUpdateVersion.empty());
    const Dispatch low = decide({L"--ui-test", L"-3", L"9", L"C:\\out.bmp"});
    EXPECT_EQ(low.uiLanguage, 0u);
    EXPECT_EQ(low.requestedPage, 3);

    const Dispatch withVersion = decide({L"--ui-test", L"3", L"7", L"x.bmp", L"2.0.1"});
    EXPECT_EQ(withVersion.uiLanguage, 3u);
    EXPECT_EQ(withVersion.requestedPage, 3);
    EXPECT_EQ(withVersion.snapshotUpdateVersion, L"2.0.1");

    // Three values are needed; with fewer it is the plain main window.
    const Dispatch tooFew = decide({L"--ui-test", L"1", L"2"});
    EXPECT_EQ(tooFew.role, Role::Window);
    EXPECT_FALSE(tooFew.uiTest);
    EXPECT_EQ(decide({L"--UI-TEST", L"1", L"2", L"x"}).uiTest, false);
}

TEST(Dispatch, ScreenSaverStartsWithoutCuttingOnlyAfterRecentInput) {
    const struct {
        std::uint32_t tick;
        bool inputRead;
        std::uint32_t lastInput;
        bool timeoutRead;
        int timeoutSeconds;
        bool previewOnly;
    } rows[] = {
        {100000, true, 100000 - 57999, true, 60, true},    // just under 58 s idle with a 60 s timeout
        {100000, true, 100000 - 58000, true, 60, false},   // at the threshold the network is cut
        {100000, true, 100000 - 9999, true, 5, true},      // short timeouts keep the 10 s floor
        {100000, true, 100000 - 10000, true, 5, false},
        {100000, true, 100000 - 10000, true, -5, false},
        {100000, true, 100000u - 3000000u, true, 4294970, true},  // past 2^32 ms: no wrap to a small threshold
        {700000, true, 700000 - 597999, false, 60, true},  // unreadable timeout: 600 s
        {700000, true, 700000 - 598000, false, 60, false},
        {100000, false, 100000, true, 600, false},         // unreadable last input: idle
        {5000, true, 0xFFFFF000u, true, 600, true},        // 9 s across the 32-bit tick wrap
    };
    for (const auto& row : rows) {
        EXPECT_EQ(screenSaverPreviewOnly(row.tick, row.inputRead, row.lastInput, row.timeoutRead, row.timeoutSeconds),
                  row.previewOnly)
            << row.tick << " " << row.lastInput << " " << row.timeoutSeconds;
    }
}

TEST(Admission, OnlyDriveLetterPathsAreOpened) {
    const struct {
        const wchar_t* path;
        bool drive;
    } rows[] = {
        {L"C:\\Program Files\\Calmlane\\Calmlane.scr", true},
        {L"c:\\PROGRA~1\\Calmlane\\Calmlane.scr", true},
        {L"\\\\?\\C:\\Program Files\\Calmlane\\Calmlane.scr", true},
        {L"A:\\a", true}, {L"z:\\Calmlane.scr", true}, {L"C:\\", false},
        {L"\\\\server\\share\\Calmlane.scr", false},
        {L"\\\\server@80\\dav\\Calmlane.scr", false},
        {L"\\\\?\\UNC\\server\\share\\Calmlane.scr", false},
        {L"\\\\.\\C:\\Calmlane.scr", false},
        {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume2\\Calmlane.scr", false},
        {L"C:Calmlane.scr", false},
        {L"C:/Calmlane/Calmlane.scr", false},
        {L"", false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(driveLetterPath(row.path), row.drive) << std::filesystem::path(row.path).string();
    }
    // The root whose drive type decides: after the prefix, with its backslash.
    EXPECT_EQ(driveRoot(L"\\\\?\\D:\\Calmlane\\Calmlane.scr"), L"D:\\");
    EXPECT_EQ(driveRoot(L"c:\\PROGRA~1"), L"c:\\");
}

}  // namespace
}  // namespace calmlane
