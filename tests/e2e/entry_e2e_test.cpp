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

std::wstring calmlaneExe() { return binFolder() + L"\\Calmlane.exe"; }

TEST(Entry, PreviewWithoutAWindowExitsAtOnce) {
    for (const wchar_t* arguments : {L"/p", L"/p 0", L"/P:123456789", L"/p:abc"}) {
        const auto result = runChild(calmlaneExe(), arguments, 60000);
        ASSERT_TRUE(result.finished) << arguments;
        EXPECT_EQ(result.exitCode, 0u) << arguments;
        EXPECT_TRUE(result.boxes.empty()) << arguments;
    }
}

TEST(Entry, SetTimeoutSetsTheWindowsDelayInMinutes) {
    test::RegistryScratch scratch;
    const auto result = runChild(calmlaneExe(), L"--set-timeout 5", 60000);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_TRUE(result.boxes.empty());
    int seconds = 0;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &seconds, 0));
    EXPECT_EQ(seconds, 300);
    EXPECT_EQ(readDword(HKEY_CURRENT_USER, RegistryPath, L"CalmlaneTimeoutSeconds", 0), 300u);
}

// A failing role: one owner-less error box with its message, and exit code 1.
TEST(Entry, SetTimeoutWithoutANumberFailsWithOneBox) {
    const auto result = runChild(calmlaneExe(), L"--set-timeout abc", 60000);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 1u);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].caption, L"Calmlane Native");
    EXPECT_EQ(result.boxes[0].text, L"Delay must be between 1 and 240 minutes.");
}

TEST(Entry, DiagnosticsShowTheReportInAnInformationBox) {
    test::RegistryScratch scratch;
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"Language", 1);
    const auto result = runChild(calmlaneExe(), L"--diagnostics", 60000);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 0u);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].caption, L"Calmlane");
    EXPECT_NE(result.boxes[0].text.find(L"Windows service: stopped or missing"), std::wstring::npos);
}

}  // namespace
}  // namespace calmlane
