// elevateAndWait and closeInstalledWindows with real child processes: this test program itself, run
// with one of the Child tests below (never run otherwise), standing in for the elevated copy or for an
// installed Calmlane.exe.
#include <gtest/gtest.h>

#include <filesystem>
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

LRESULT CALLBACK stubbornProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE) return 0;
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK closingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);
}

HWND makeWindow(WNDPROC procedure, const wchar_t* name) {
    return test::createProbeWindow(name, procedure, WS_OVERLAPPED, 100, 100);
}

void pumpFor(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    MSG message;
    while (GetTickCount64() < end) {
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) return;
            DispatchMessageW(&message);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
}

TEST(Child, DISABLED_ExitZero) { ExitProcess(0); }
TEST(Child, DISABLED_ExitThree) { ExitProcess(3); }
TEST(Child, DISABLED_Window) {
    makeWindow(closingProc, L"Calmlane.Test.Closing");
    pumpFor(30000);
    ExitProcess(0);
}
TEST(Child, DISABLED_StubbornWindow) {
    makeWindow(stubbornProc, L"Calmlane.Test.Stubborn");
    pumpFor(30000);
    ExitProcess(0);
}
// Run as an installed Calmlane.exe with a window of its own: closes the other copy, never waits on itself.
TEST(Child, DISABLED_CloseInstalledWindows) {
    makeWindow(closingProc, L"Calmlane.Test.Self");
    installDirectoryOverride = std::filesystem::path(modulePath()).parent_path().wstring();
    try {
        closeInstalledWindows(L"");
    } catch (const std::exception&) {
        ExitProcess(1);
    }
    ExitProcess(0);
}

struct Search {
    DWORD processId;
    bool found = false;
};
BOOL CALLBACK findAny(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    search->found = search->found || owner == search->processId;
    return TRUE;
}

class InstalledCopy : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(Folder);
        ASSERT_TRUE(CopyFileW(modulePath().c_str(), copy.c_str(), FALSE));
    }
    void TearDown() override {
        if (process) {
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), 5000);
        }
        process.reset();
        installDirectoryOverride.clear();
        std::error_code ignored;
        std::filesystem::remove_all(Folder, ignored);
    }
    // Starts the installed copy with one Child test and waits until it has a window.
    void startCopy(const wchar_t* test) {
        StartedChild child = startChild(copy, childArguments(test));
        ASSERT_TRUE(child.process);
        process = std::move(child.process);
        Search search{child.id};
        for (int i = 0; i < 200 && !search.found; ++i) {
            Sleep(50);
            EnumWindows(findAny, reinterpret_cast<LPARAM>(&search));
        }
        ASSERT_TRUE(search.found);
    }
    const std::wstring copy = Folder + L"\\Calmlane.exe";
    UniqueHandle process;
};

TEST_F(InstalledCopy, ClosesOtherCopiesButNeverWaitsOnItself) {
    startCopy(L"Window");
    const ChildResult closer = runChild(copy, childArguments(L"CloseInstalledWindows"), 60000);
    ASSERT_TRUE(closer.finished);
    EXPECT_EQ(closer.exitCode, 0u);
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
}

TEST_F(InstalledCopy, ATimeOutStillClosesEveryProcessHandle) {
    startCopy(L"StubbornWindow");
    installDirectoryOverride = Folder;
    DWORD before = 0, after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    try {
        closeInstalledWindows(L"");
        ADD_FAILURE() << "no time-out";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Close Calmlane and screen saver settings in all sessions, then retry.");
    }
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
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
