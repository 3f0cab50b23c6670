// The executable as Windows starts it: exit codes and message boxes of whole processes.
#include <gtest/gtest.h>

#include "app/constants.h"
#include "app/settings.h"
#include "support/process.h"
#include "support/registry_scratch.h"

namespace calmlane {
namespace {

using test::binFolder;
using test::runChild;

// Whole processes: the exit code and the boxes they show. A failing role shows one owner-less error box
// with its message and exits with 1. Quiet, it shows none and tells its caller's standard output or error
// (here a file), in UTF-8 with CRLF line ends.
TEST(Entry, RolesEndWithTheirExitCodesAndBoxes) {
    test::EnglishUser english;
    // Not Wine's default of 300 s, which "--set-timeout 5" is to leave.
    ASSERT_TRUE(SystemParametersInfoW(SPI_SETSCREENSAVETIMEOUT, 60, nullptr, SPIF_UPDATEINIFILE));
    const struct {
        const wchar_t* arguments;
        DWORD exitCode;
        const wchar_t* caption;  // of the one box shown; null: no box
        const wchar_t* text;     // what the box says, in part
        const char* output = "";  // what it writes, in part
        const wchar_t* desktop = nullptr;
    } rows[] = {
        {L"/p", 0, nullptr, nullptr},  // a preview without a window ends at once
        {L"/P:123456789", 0, nullptr, nullptr},
        {L"--set-timeout abc", 1, L"Calmlane Native", L"Delay must be between 1 and 240 minutes."},
        {L"--diagnostics", 0, L"Calmlane", L"Windows service: stopped or missing"},
        {L"--ui-test 1 0 C:\\no-such-folder\\shot.bmp", 1, nullptr, nullptr},  // its picture cannot be written
        {L"--set-timeout 5", 0, nullptr, nullptr},
        {L"--diagnostics --quiet", 0, nullptr, nullptr,
         "\r\nService unavailable \xE2\x80\x94 network state unknown\r\n\r\nScreen saver file: "},
        {L"--mode-adapters --quiet", 1, nullptr, nullptr, "Service is not installed. Run Calmlane Setup.\r\n"},
        {L"--set-timeout abc --quiet", 1, nullptr, nullptr, "Delay must be between 1 and 240 minutes.\r\n"},
        {L"--restore-network", 1, nullptr, nullptr, "The Calmlane service did not take the request: "},
        // Where nobody could see a box (a SYSTEM run in session 0), every run is quiet.
        {L"--diagnostics", 0, nullptr, nullptr, "Screen saver file: ", L"CalmlaneHidden\\Default"},
    };
    // A window station of its own is never the visible one.
    const HWINSTA ours = GetProcessWindowStation();
    const HWINSTA hidden = CreateWindowStationW(L"CalmlaneHidden", 0, GENERIC_ALL, nullptr);
    ASSERT_TRUE(hidden && SetProcessWindowStation(hidden));
    ASSERT_TRUE(CreateDesktopW(L"Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr) && SetProcessWindowStation(ours));
    for (const auto& row : rows) {
        const auto result = runChild(binFolder() + L"\\Calmlane.exe", row.arguments, 60000, {true, row.desktop});
        SCOPED_TRACE(std::string(row.arguments, row.arguments + wcslen(row.arguments)));
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, row.exitCode);
        EXPECT_NE(result.output.find(row.output), std::string::npos) << result.output;
        ASSERT_EQ(result.boxes.size(), row.caption ? 1u : 0u);
        if (!row.caption) continue;
        EXPECT_EQ(result.boxes[0].caption, row.caption);
        EXPECT_NE(result.boxes[0].text.find(row.text), std::wstring::npos) << result.boxes[0].text.size();
    }
    // As stored for the user: Wine's SPI_GETSCREENSAVETIMEOUT keeps answering what this process set.
    std::wstring seconds;
    ASSERT_TRUE(readString(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"ScreenSaveTimeOut", seconds));
    EXPECT_EQ(seconds, L"300");  // --set-timeout takes minutes
    EXPECT_EQ(readDword(HKEY_CURRENT_USER, RegistryPath, L"CalmlaneTimeoutSeconds", 0), 300u);
}

}  // namespace
}  // namespace calmlane
