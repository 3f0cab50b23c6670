// The saver as Windows runs it, in its own process under Xvfb: test modes, the preview inside a host
// window, the input rules, and a real pause session with the service.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/constants.h"
#include "app/policy.h"
#include "app/settings.h"
#include "doubles/adapters_config.h"
#include "doubles/double_store.h"
#include "protocol/service_clients.h"
#include "saver/saver.h"
#include "service/control_pipe.h"
#include "support/debug_log.h"
#include "support/gdi_probe.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

using namespace test;

struct Launched {
    UniqueHandle process;
    ULONGLONG started = 0;
};

Launched launch(const std::wstring& program, const std::wstring& arguments) {
    Launched result;
    result.started = GetTickCount64();
    result.process = std::move(test::startChild(program, arguments).process);
    return result;
}

// Waits for the process while this thread keeps handling its own windows' messages.
bool waitPumping(HANDLE process, DWORD timeoutMs) {
    return pumpUntil([&] { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }, timeoutMs);
}

HWND waitForWindow(HWND parent, DWORD timeoutMs) {
    HWND found = nullptr;
    pumpUntil([&] { return (found = FindWindowExW(parent, nullptr, SaverClass, nullptr)) != nullptr; }, timeoutMs);
    return found;
}

// Pixels of the overlay's text colour on the screen: the longer the overlay line, the more of them.
int overlayPixelsOnScreen() {
    PixelSurface surface(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    surface.grabScreen();
    int count = 0;
    for (int i = 0; i < surface.width() * surface.height(); ++i) {
        count += (surface.bits()[i] & 0xFFFFFF) == 0x96AAC3;  // RGB(150, 170, 195)
    }
    return count;
}

class Saver : public ::testing::Test {
protected:
    void SetUp() override { writeDword(HKEY_CURRENT_USER, RegistryPath, L"Color", RGB(255, 0, 0)); }
    EnglishUser english;
    const std::wstring calmlane = binFolder() + L"\\Calmlane.exe";
};

TEST_F(Saver, PreviewTestEndsAfterThreeSecondsWithoutOpeningThePipe) {
    ControlPipe pipe;
    ASSERT_EQ(pipe.create(), 0u);
    Launched saver = launch(calmlane, L"--preview-test");
    ASSERT_TRUE(saver.process);
    bool clientSeen = false;
    while (WaitForSingleObject(saver.process.get(), 20) == WAIT_TIMEOUT &&
           GetTickCount64() - saver.started < 15000) {
        clientSeen = clientSeen || pipe.clientConnected();
    }
    const ULONGLONG lasted = GetTickCount64() - saver.started;
    EXPECT_GT(lasted, 3000u);
    EXPECT_LT(lasted, 8000u);
    EXPECT_FALSE(clientSeen);
}

TEST_F(Saver, EmbeddedPreviewEndsWithItsHostWindow) {
    HWND host = test::createProbeWindow(L"CalmlaneTestHost", DefWindowProcW, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 320, 240);
    ASSERT_NE(host, nullptr);
    Launched saver = launch(calmlane, L"/p " + std::to_wstring(reinterpret_cast<UINT_PTR>(host)));
    ASSERT_TRUE(saver.process);
    ASSERT_NE(waitForWindow(host, 10000), nullptr);
    waitPumping(saver.process.get(), 1000);  // a preview keeps running
    EXPECT_EQ(WaitForSingleObject(saver.process.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    ShowWindow(host, SW_HIDE);  // Wine waits for the X server here, without a window manager
    const ULONGLONG destroyed = GetTickCount64();
    DestroyWindow(host);
    ASSERT_TRUE(waitPumping(saver.process.get(), 5000));
    EXPECT_LT(GetTickCount64() - destroyed, 1000u);
    DWORD exitCode = 99;
    GetExitCodeProcess(saver.process.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
}

// The organisation's NetworkMode policy, read at every "START", wins over the installed mode. Adapters a
// pause took come back also when the policy changes during it, or while the service is down after a crash;
// a value outside the range leaves the installed mode and is logged once.
struct PolicyPause : DoublesTest {
    PolicyPause() : DoublesTest(true) {}
};

TEST_F(PolicyPause, EachPauseTakesTheModeInForceAtItsStart) {
    doubles::setAdapters({doubles::physicalAdapter(1)});
    InstalledService service;
    ASSERT_TRUE(service.start());
    constexpr DWORD None = 0, Removed = 99, Crashed = 98;  // no policy; removed during the pause, or after a crash
    const std::string firewall = "IPv4/IPv6 Internet and LAN blocked (dynamic WFP filters).";
    const std::string adapters = "Physical Ethernet/Wi-Fi adapters paused.";
    const struct {
        DWORD installedFirewall, policy;
        const std::string& blocked;
        bool ignoredLogged;
    } rows[] = {
        {0, 1, firewall, false}, {1, 2, adapters, false}, {0, None, adapters, false}, {1, Removed, adapters, false},
        {0, 7, adapters, true},  {0, 7, adapters, false}, {1, Crashed, adapters, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.installedFirewall) + " " + std::to_string(row.policy));
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", row.installedFirewall);
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, PolicyKey, L"NetworkMode");
        const DWORD policy = row.policy == Removed || row.policy == Crashed ? 2 : row.policy;
        if (policy != None) writeDword(HKEY_LOCAL_MACHINE, PolicyKey, L"NetworkMode", policy);
        log.clear();
        PipeClientRun run =
            startPipeClient(service.installedClient(), L"open send:START reply alive:1500 send:STOP close");
        ASSERT_TRUE(log.waitFor(row.blocked, 5000));
        if (policy != row.policy) RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, PolicyKey, L"NetworkMode");
        if (row.policy == Crashed) {
            const DWORD dead = service.processId();
            TerminateProcess(UniqueHandle(OpenProcess(PROCESS_TERMINATE, FALSE, dead)).get(), 1);
            ASSERT_TRUE(service.restartAfterCrash(dead));
            finishPipeClient(run);
            EXPECT_TRUE(waitForNetworkState(0));
            EXPECT_EQ(adapterSnapshot(), "started=1 journal=- state=0");
            continue;
        }
        EXPECT_EQ(log.contains("Policy value outside its range ignored: NetworkMode = 7"), row.ignoredLogged);
        EXPECT_TRUE(hasLine(finishPipeClient(run), "reply OK"));
        ASSERT_TRUE(log.waitFor("Restoring network: Saver sent STOP", 5000));
        EXPECT_TRUE(waitForNetworkState(0));
        EXPECT_EQ(adapterSnapshot(), "started=1 journal=- state=0");
    }
}

// Real input: SendInput moves GetLastInputInfo, which posted messages do not. The shift key's release,
// or a mouse move by one pixel.
void sendInput(bool release) {
    INPUT input = {};
    input.type = release ? INPUT_KEYBOARD : INPUT_MOUSE;
    if (release) input.ki = {VK_SHIFT, 0, KEYEVENTF_KEYUP, 0, 0};
    if (!release) input.mi = {1, 0, 0, MOUSEEVENTF_MOVE, 0, 0};
    EXPECT_EQ(SendInput(1, &input, sizeof(input)), 1u);
}

// The input rules in a real process: an input the saver ignores, then one that ends it.
TEST_F(Saver, InputEndsItOnlyBeyondWhatItIgnores) {
    using Give = void (*)(HWND);
    const struct {
        const wchar_t* arguments;
        DWORD settleMs;  // before the ignored input (any movement in the first 300 ms is ignored)
        Give ignored, ending;
    } rows[] = {
        // Mouse jitter of four pixels is tolerated, five end it.
        {L"--preview", 400, [](HWND w) { PostMessageW(w, WM_MOUSEMOVE, 0, MAKELPARAM(304, 296)); },
         [](HWND w) { PostMessageW(w, WM_MOUSEMOVE, 0, MAKELPARAM(305, 300)); }},
        {L"--network-test", 400, [](HWND w) { PostMessageW(w, WM_MOUSEMOVE, 0, MAKELPARAM(10, 10)); },
         [](HWND w) { PostMessageW(w, WM_KEYDOWN, VK_SPACE, 0); }},
        // The release of the key that started it, within its first 500 ms; then one pixel.
        {L"--preview", 0, [](HWND) { sendInput(true); }, [](HWND) { sendInput(false); }},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(narrow(row.arguments) + " " + std::to_string(row.settleMs));
        SetCursorPos(300, 300);
        Launched saver = launch(calmlane, row.arguments);
        ASSERT_TRUE(saver.process);
        HWND window = waitForWindow(nullptr, 10000);
        ASSERT_NE(window, nullptr);
        EXPECT_TRUE(GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) << "above always-on-top windows";
        Sleep(row.settleMs);
        row.ignored(window);
        EXPECT_EQ(WaitForSingleObject(saver.process.get(), 1500), static_cast<DWORD>(WAIT_TIMEOUT));
        row.ending(window);
        EXPECT_EQ(WaitForSingleObject(saver.process.get(), 3000), static_cast<DWORD>(WAIT_OBJECT_0));
    }
}

// A program that took the pipe name the service last published while the service is down, and answers
// "OK" to anything.
TEST_F(Saver, APipeNotServedByTheServiceIsGivenUpWithoutAWord) {
    const std::wstring stale = std::wstring(PipeName) + L".0123456789abcdef0123456789abcdef";
    writeString(HKEY_LOCAL_MACHINE, RegistryPath, ControlPipeValue, stale);
    UniqueHandle squatter(CreateNamedPipeW(stale.c_str(), PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT,
                                           PIPE_UNLIMITED_INSTANCES, 512, 512, 0, nullptr));
    ASSERT_TRUE(squatter);
    Launched saver = launch(calmlane, L"--network-test");
    ASSERT_TRUE(saver.process);
    int connections = 0;
    DWORD received = 0;
    while (WaitForSingleObject(saver.process.get(), 20) == WAIT_TIMEOUT && GetTickCount64() - saver.started < 15000) {
        // Connected, or connected and already closed again by the client.
        if (ConnectNamedPipe(squatter.get(), nullptr)) continue;
        const DWORD state = GetLastError();
        if (state != ERROR_PIPE_CONNECTED && state != ERROR_NO_DATA) continue;
        ++connections;
        char word[16];
        DWORD read = 0;
        for (int i = 0; i < 10; ++i, Sleep(20)) {
            if (ReadFile(squatter.get(), word, sizeof(word), &read, nullptr)) received += read;
        }
        DWORD written = 0;
        WriteFile(squatter.get(), "OK", 2, &written, nullptr);
        DisconnectNamedPipe(squatter.get());
    }
    EXPECT_GT(connections, 0);
    EXPECT_EQ(received, 0u);
}

constexpr const char* Blocked = "IPv4/IPv6 Internet and LAN blocked (dynamic WFP filters).";

class SaverWithService : public Saver {
protected:
    void SetUp() override {
        Saver::SetUp();
        deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
        ASSERT_TRUE(log.active());
    }
    void TearDown() override { deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey); }
    DebugLog log;
    InstalledService service{L"Calmlane-test.exe"};
};

TEST_F(SaverWithService, NetworkTestHoldsASessionForSixSecondsAndTheServiceReleasesAfterIt) {
    ASSERT_TRUE(service.start());
    Launched saver = launch(service.installedClient(), L"--network-test");
    ASSERT_TRUE(saver.process);
    DebugLine blocked, stopped, released;
    ASSERT_TRUE(log.waitFor(Blocked, 5000, &blocked));
    Sleep(2500);
    const int confirmedPixels = overlayPixelsOnScreen();
    const bool stopSeen = log.waitFor("Saver sent STOP; checking display before release", 10000, &stopped);
    if (!stopSeen) {
        for (const auto& line : log.lines()) std::printf("%llu %s\n", line.tick - saver.started, line.text.c_str());
    }
    ASSERT_TRUE(stopSeen);
    ASSERT_TRUE(log.waitFor("Restoring network: Saver sent STOP", 5000, &released));
    EXPECT_GE(stopped.tick - blocked.tick, 5000u);  // ALIVE kept the session past the 4-second heartbeat
    EXPECT_GE(released.tick - stopped.tick, 1900u);
    EXPECT_LE(released.tick - stopped.tick, 3000u);
    EXPECT_TRUE(log.waitFor("Firewall filters released.", 2000));
    ASSERT_EQ(WaitForSingleObject(saver.process.get(), 5000), static_cast<DWORD>(WAIT_OBJECT_0));

    // Without the service the saver still runs, and says the network was not suspended; it keeps trying,
    // and a service that starts meanwhile pauses the network late.
    ASSERT_TRUE(service.stop());
    Launched alone = launch(service.installedClient(), L"--network-test");
    ASSERT_TRUE(alone.process);
    Sleep(2000);
    const int unconfirmedPixels = overlayPixelsOnScreen();
    log.clear();
    ASSERT_TRUE(service.start());
    EXPECT_TRUE(log.waitFor(Blocked, 4000));
    ASSERT_EQ(WaitForSingleObject(alone.process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_GT(confirmedPixels, 100);
    EXPECT_GT(unconfirmedPixels, confirmedPixels * 2) << confirmedPixels << " vs " << unconfirmedPixels;
}

// A session lost after its "OK" is asked for again while the saver runs: in adapter mode with a 4-second
// disable, the display dims and comes back on during the block, whose "OK" the saver still reads; the
// release follows and a new block begins. A refused one ("ERROR") is not asked for again from the same
// service process, only from a restarted service.
TEST_F(SaverWithService, ALostSessionIsAskedForAgainAndARefusedOneOnlyOfANewService) {
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 0);
    doubles::setAdapters({doubles::physicalAdapter(1)});
    doubles::storeSetString(L"SlowCall", L"adapter.disableNode");
    doubles::storeSetDword(L"SlowMs", 4000);
    ASSERT_TRUE(service.start());
    {
        Launched saver = launch(service.installedClient(), L"--network-test");
        const std::string accepted = "Accepted saver process: " + std::to_string(GetProcessId(saver.process.get()));
        ASSERT_TRUE(log.waitFor(accepted, 5000));
        for (const DWORD display : {2, 1}) {
            Sleep(1000);
            doubles::storeSetDword(L"ConsoleDisplay", display);
        }
        ASSERT_TRUE(log.waitFor("Recovery requested; reason code: 65536", 5000));
        log.clear();
        EXPECT_TRUE(log.waitFor(accepted, 2500));  // asked again
        EXPECT_TRUE(log.waitFor("Physical Ethernet/Wi-Fi adapters paused.", 6000));
        ASSERT_EQ(WaitForSingleObject(saver.process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        ASSERT_TRUE(log.waitFor("Restoring network: Saver sent STOP", 8000));
    }
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1);
    doubles::storeSetString(L"SlowCall", L"");
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0);  // every "START" fails
    log.clear();
    Launched saver = launch(service.installedClient(), L"--network-test");
    ASSERT_TRUE(log.waitFor("Network blocking failed; checking display before release", 5000));
    Sleep(1500);
    const auto admissions = [&] {
        const std::vector<std::string> lines = log.messages();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.starts_with("Accepted saver process"); });
    };
    EXPECT_EQ(admissions(), 1);
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    ASSERT_TRUE(service.stop());
    ASSERT_TRUE(service.start());
    EXPECT_TRUE(log.waitFor(Blocked, 3000));
    TerminateProcess(saver.process.get(), 0);
}

// Any local program may open and close the pipe in a tight loop. Each refusal is followed by a new listen at
// once, and the saver keeps trying, so it still gets its pause within 3 s, every time.
TEST_F(SaverWithService, AProgramCrowdingThePipeCannotKeepTheSaverFromItsPause) {
    ASSERT_TRUE(service.start());
    PipeClientRun crowd = startPipeClient(binFolder() + L"\\pipe_client.exe", L"crowd:120000");
    ASSERT_TRUE(log.waitFor("Rejected client executable path.", 5000));
    // Each knock that reaches the service records a seam call: the crowd knocks when each run starts (and is
    // refused), and it still runs when the run's pause began (its knocks then find the pipe busy).
    const auto knocking = [] {
        doubles::storeSetString(L"Calls", L"");
        return waitUntil([] { return !seamCalls().empty(); }, 3000);
    };
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        EXPECT_TRUE(knocking());
        log.clear();
        Launched saver = launch(service.installedClient(), L"--network-test");
        DebugLine blocked;
        ASSERT_TRUE(log.waitFor(Blocked, 10000, &blocked));
        EXPECT_LT(blocked.tick - saver.started, 3000u);
        EXPECT_EQ(WaitForSingleObject(crowd.process, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        TerminateProcess(saver.process.get(), 0);
        ASSERT_TRUE(log.waitFor("Firewall filters released.", 10000));
    }
    TerminateProcess(crowd.process, 0);
    finishPipeClient(crowd);
}

}  // namespace
}  // namespace calmlane
