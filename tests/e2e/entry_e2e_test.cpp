// The executable as Windows starts it: exit codes and message boxes of whole processes.
#include <gtest/gtest.h>

#include "support/process.h"

namespace calmlane {
namespace {

using test::binFolder;
using test::runChild;

std::wstring calmlaneExe() { return binFolder() + L"\\Calmlane.exe"; }

TEST(Entry, AFailingRoleShowsOneErrorBoxAndExitsWithOne) {
    // The tray companion is not part of this build: its role fails with a runtime error.
    const auto result = runChild(calmlaneExe(), L"--tray", 60000);
    ASSERT_TRUE(result.finished);
    EXPECT_EQ(result.exitCode, 1u);
    ASSERT_EQ(result.boxes.size(), 1u);
    EXPECT_EQ(result.boxes[0].caption, L"Calmlane Native");
    EXPECT_EQ(result.boxes[0].text, L"This feature is not available in this build.");
}

TEST(Entry, PreviewWithoutAWindowExitsAtOnce) {
    for (const wchar_t* arguments : {L"/p", L"/p 0", L"/P:123456789", L"/p:abc"}) {
        const auto result = runChild(calmlaneExe(), arguments, 60000);
        ASSERT_TRUE(result.finished) << arguments;
        EXPECT_EQ(result.exitCode, 0u) << arguments;
        EXPECT_TRUE(result.boxes.empty()) << arguments;
    }
}

}  // namespace
}  // namespace calmlane
