// elevateAndWait and closeInstalledWindows with real child processes: this test program itself, run
// with one of the Child tests below (never run otherwise), standing in for the elevated copy or for an
// installed Calmlane.exe.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <stdexcept>

#include "app/handles.h"
#include "app/settings.h"
#include "install/install_support.h"
#include "install/installer.h"
#include "support/process.h"

namespace calmlane {
namespace {

using namespace test;

const std::wstring Folder = L"C:\\ciw";

std::wstring childArguments(const wchar_t* test) {
    return std::wstring(L"--gtest_also_run_disabled_tests --gtest_filter=Child.DISABLED_") + test;
}

int dispatched = 0;
LRESULT CALLBACK countingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) ++dispatched;
    return DefWindowProcW(window, message, wParam, lParam);
}

bool stubborn = false;  // the child's window ignores WM_CLOSE
LRESULT CALLBACK childProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE && stubborn) return 0;
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND makeWindow(WNDPROC procedure, const wchar_t* name) {
    return test::createProbeWindow(name, procedure, WS_OVERLAPPED, 100, 100);
}

// A child with one window: dispatches its messages until WM_QUIT, or for 30 seconds at most, and exits.
void runWindow(bool ignoresClose) {
    stubborn = ignoresClose;
    makeWindow(childProc, L"Calmlane.Test.Child");
    SetTimer(nullptr, 0, 30000, [](HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(0); });
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    ExitProcess(0);
}

TEST(Child, DISABLED_ExitZero) { ExitProcess(0); }
TEST(Child, DISABLED_ExitThree) { ExitProcess(3); }
TEST(Child, DISABLED_Window) { runWindow(false); }
TEST(Child, DISABLED_StubbornWindow) { runWindow(true); }
// Run as an installed Calmlane.exe with a window of its own: closes the other copy, never waits on itself.
TEST(Child, DISABLED_CloseInstalledWindows) {
    makeWindow(childProc, L"Calmlane.Test.Self");
    installDirectoryOverride = std::filesystem::path(modulePath()).parent_path().wstring();
    try {
        closeInstalledWindows(L"");
    } catch (const std::exception&) {
        ExitProcess(1);
    }
    ExitProcess(0);
}

class InstalledCopy : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(Folder);
        ASSERT_TRUE(CopyFileW(modulePath().c_str(), copy.c_str(), FALSE));
    }
    void TearDown() override {
        running.reset();
        installDirectoryOverride.clear();
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
    // Starts the installed copy with one Child test and waits until it has a window.
    void startCopy(const wchar_t* test) { ASSERT_NE(running.emplace(copy, childArguments(test)).window, nullptr); }
    const std::wstring copy = Folder + L"\\Calmlane.exe";
    std::optional<WindowedChild> running;
};

TEST_F(InstalledCopy, ClosesOtherCopiesButNeverWaitsOnItself) {
    startCopy(L"Window");
    const ChildResult closer = runChild(copy, childArguments(L"CloseInstalledWindows"), 60000);
    ASSERT_TRUE(closer.finished);
    EXPECT_EQ(closer.exitCode, 0u);
    EXPECT_NE(running->exitWithin(0), STILL_ACTIVE);
}

TEST_F(InstalledCopy, ATimeOutStillClosesEveryProcessHandle) {
    startCopy(L"StubbornWindow");
    installDirectoryOverride = Folder;
    try {
        throw std::runtime_error("warm-up");  // the first exception of a process opens handles kept for good
    } catch (const std::runtime_error&) {
    }
    const std::size_t before = processResources().handles;
    try {
        closeInstalledWindows(L"");
        ADD_FAILURE() << "no time-out";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Close Calmlane and screen saver settings in all sessions, then retry.");
    }
    EXPECT_EQ(processResources().handles, before);
}

TEST(ElevateAndWait, KeepsTheOwnersMessagesAndTheCallersQuit) {
    HWND owner = makeWindow(countingProc, L"Calmlane.Test.Owner");
    ASSERT_NE(owner, nullptr);
    dispatched = 0;
    PostMessageW(owner, WM_APP, 0, 0);
    PostQuitMessage(7);
    EXPECT_TRUE(elevateAndWait(owner, childArguments(L"ExitZero")));
    EXPECT_EQ(dispatched, 1);
    EXPECT_TRUE(IsWindowEnabled(owner));
    MSG message = {};
    ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(message.wParam, 7u);

    EXPECT_FALSE(elevateAndWait(owner, childArguments(L"ExitThree")));
    DestroyWindow(owner);
}

}  // namespace
}  // namespace calmlane
