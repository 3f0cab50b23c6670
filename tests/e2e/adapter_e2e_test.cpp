// Adapter mode under Wine's service manager: a whole pause session, a service killed at every point of
// a pause or of a release that must still give every adapter back when it starts again, and release
// calls that fail once or for good.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "doubles/adapters_config.h"
#include "doubles/double_store.h"
#include "protocol/pipe_protocol.h"
#include "service/adapters.h"
#include "service/journal.h"
#include "support/process.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

using namespace test;

// Both adapters up, nothing in the journal, nothing blocked.
constexpr const char* AllGivenBack = "started=1,2 journal=- state=0";

class AdapterService : public DoublesTest {
protected:
    AdapterService() : DoublesTest(true) {}
    void SetUp() override {
        DoublesTest::SetUp();
        doubles::setAdapters(adapters);
        ASSERT_TRUE(log.active());
        ASSERT_TRUE(service.start());
    }

    void resetCalls() {
        doubles::storeSetString(L"Calls", L"");
        doubles::storeSetDword(L"CallCount", 0);
    }
    void armKill(DWORD at, DWORD after) {
        doubles::storeSetDword(L"KillAfter", after);
        doubles::storeSetDword(L"KillAt", at);
    }
    // Has the saver's client run `client` against a service armed to die at seam call `at`; the dead pid.
    DWORD killDuring(const wchar_t* client, DWORD at, DWORD after) {
        armKill(at, after);
        const DWORD pid = service.processId();
        const std::vector<std::string> lines = runPipeClient(service.installedClient(), client);
        EXPECT_TRUE(service.waitForProcessExit(pid, 10000))
            << "the service was not killed: client " << clientStory(lines) << ", "
            << doubles::storeDword(L"CallCount", 0) << " calls";
        return pid;
    }

    // Kills the service before and after each seam call from `first` to `last`, with `crash` (given the
    // call and 0/1 for before/after; returns the dead process id), and checks that every next start gives
    // every adapter back and empties the journal.
    template <typename Crash>
    void killAtEveryCall(const std::string& what, DWORD first, DWORD last, Crash crash) {
        int tried = 0, downAtKill = 0;  // crash points, and those where an adapter was down
        for (DWORD at = first; at <= last; ++at) {
            for (DWORD after = 0; after <= 1; ++after) {
                SCOPED_TRACE(what + ": kill " + (after ? "after" : "before") + " call " + std::to_string(at));
                doubles::setAdapters(adapters);
                resetCalls();
                const DWORD dead = crash(at, after);
                if (HasFailure()) return;
                downAtKill += adapterSnapshot().rfind("started=1,2 ", 0) != 0;
                ASSERT_TRUE(service.restartAfterCrash(dead));
                ++tried;
                EXPECT_EQ(adapterSnapshot(), AllGivenBack);
            }
        }
        std::printf("%s: crash points tried: %d, with an adapter down: %d\n", what.c_str(), tried, downAtKill);
        EXPECT_GT(downAtKill, 0);  // the kills did hit adapters that were down
    }

    const std::vector<doubles::SimulatedAdapter> adapters = {doubles::physicalAdapter(1),
                                                              doubles::physicalAdapter(2, 71)};
    InstalledService service;
};

// On Windows each disable waits for the driver and every interested program: seconds per adapter. Two
// adapters of 9 s each: the pipe is read meanwhile, so that a burst of 900 heartbeats, more than its 4 KiB
// hold, finds room and none is lost to a full pipe, and the session holds until "STOP". One adapter is a
// mobile-broadband modem. A stop during such a block waits for it, telling the service manager that it
// advances, and then gives every adapter back.
TEST_F(AdapterService, ASlowPauseOfTwoAdaptersKeepsItsSessionAndAStopDuringOneGivesAllBack) {
    const std::vector<doubles::SimulatedAdapter> slow = {doubles::physicalAdapter(1), doubles::physicalAdapter(2, 243)};
    doubles::setAdapters(slow);
    doubles::storeSetString(L"SlowCall", L"adapter.disableNode");
    doubles::storeSetDword(L"SlowMs", 9000);
    PipeClientRun run =
        startPipeClient(service.installedClient(), L"open send:START sleep:500 burst:900 alive:20000 send:STOP close");
    ASSERT_TRUE(log.waitFor("Physical Ethernet/Wi-Fi adapters paused.", 25000));
    ASSERT_TRUE(waitForNetworkState(1));
    EXPECT_EQ(adapterSnapshot(), "started=- journal=1,2 state=1");
    int samplesNotBlocked = 0;
    while (!log.contains("Saver sent STOP; checking display before release") &&
           WaitForSingleObject(run.process, 0) == WAIT_TIMEOUT) {
        samplesNotBlocked += publishedNetworkState() != 1;
        Sleep(20);
    }
    const std::vector<std::string> client = finishPipeClient(run);
    EXPECT_EQ(samplesNotBlocked, 0);
    EXPECT_TRUE(hasLine(client, "burst sent 900 of 900")) << clientStory(client);
    for (const std::string& line : client) {
        if (line.rfind("sent ", 0) == 0) {
            EXPECT_TRUE(line == "sent 5 of 5" || line == "sent 4 of 4") << line;
        }
    }
    ASSERT_TRUE(log.waitFor("Restoring network: Saver sent STOP", 5000));
    ASSERT_TRUE(log.waitFor("Adapter restored by Calmlane: " + narrow(slow[1].id), 3000));
    EXPECT_FALSE(log.contains("Heartbeat expired; checking display before release"));
    EXPECT_TRUE(waitForNetworkState(0));
    EXPECT_EQ(adapterSnapshot(), AllGivenBack);

    doubles::storeSetDword(L"SlowMs", 3000);
    run = startPipeClient(service.installedClient(), L"open send:START alive:8000 close");
    ASSERT_TRUE(waitUntil([] { return adapterSnapshot().rfind("started=2 ", 0) == 0; }, 10000)) << adapterSnapshot();
    DWORD checkpoints = 0;
    ASSERT_TRUE(service.stop(&checkpoints));
    EXPECT_GE(checkpoints, 3u);  // one a second
    EXPECT_EQ(adapterSnapshot(), "started=1,2 journal=- state=0");
    finishPipeClient(run);
}

TEST_F(AdapterService, AServiceKilledAnywhereInAPauseLosesNoAdapter) {
    // A dry run counts the seam calls of one whole pause (admission included).
    doubles::storeSetDword(L"CallCount", 0);
    const auto dry = runPipeClient(service.installedClient(), L"open send:START reply");
    ASSERT_TRUE(hasLine(dry, "reply OK"));
    const DWORD callsInPause = doubles::storeDword(L"CallCount", 0);
    ASSERT_GE(callsInPause, 10u);
    // The release that follows makes seam calls of its own: the count starts afresh only after it.
    ASSERT_TRUE(waitUntil([] { return adapterSnapshot() == AllGivenBack; }, 10000)) << adapterSnapshot();

    killAtEveryCall("pause", 1, callsInPause, [&](DWORD at, DWORD after) {
        return killDuring(L"open send:START reply close", at, after);
    });
}

class AdapterRelease : public AdapterService {
protected:
    // A dry run of a pause that ends with the saver; the release's first and last call numbers: every call
    // from the first locate on (a pause never locates).
    std::pair<DWORD, DWORD> dryRun(const wchar_t* client) {
        doubles::setAdapters(adapters);
        resetCalls();
        log.clear();
        runPipeClient(service.installedClient(), client);
        EXPECT_TRUE(log.waitFor("Adapter restored by Calmlane: " + narrow(adapters[1].id), 8000));
        EXPECT_TRUE(waitUntil([] { return adapterSnapshot() == AllGivenBack; }, 5000)) << adapterSnapshot();
        log.clear();
        const std::vector<std::string> calls = seamCalls();
        for (std::size_t i = 0; i < calls.size(); ++i) {
            if (calls[i].rfind("adapter.locateNode", 0) == 0) {
                return {static_cast<DWORD>(i + 1), static_cast<DWORD>(calls.size())};
            }
        }
        return {0, 0};
    }
};

// Start-up: the legacy list goes and the journal is replayed before the pipe exists. A program that holds
// the pipe's old fixed name from before the start takes nothing from the service: it draws a fresh name,
// and the next saver gets its pause.
TEST_F(AdapterService, StartUpReleasesBeforeThePipeAndASquattedNameStopsNothing) {
    ASSERT_TRUE(service.stop());
    const doubles::SimulatedAdapter down = doubles::stoppedAdapter(1);
    doubles::setAdapters({down, adapters[1]});
    writeString(HKEY_LOCAL_MACHINE, Journal, down.id.c_str(), down.id);
    writeString(HKEY_LOCAL_MACHINE, PreservedDisabled, L"0", L"old");
    UniqueHandle squatter(CreateNamedPipeW(PipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, PIPE_UNLIMITED_INSTANCES,
                                           64, 64, 0, nullptr));
    ASSERT_TRUE(squatter);
    log.clear();
    ASSERT_TRUE(service.start());
    const std::vector<std::string> lines = log.messages();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Legacy disabled-adapter list removed; device states unchanged.");
    EXPECT_EQ(lines[1], "Adapter restored by Calmlane: " + narrow(down.id));
    EXPECT_EQ(adapterSnapshot(), AllGivenBack);
    const auto client = runPipeClient(service.installedClient(), L"open send:START reply send:STOP close");
    EXPECT_TRUE(hasLine(client, "reply OK"));
}

TEST_F(AdapterRelease, AServiceKilledAnywhereInAReleaseLosesNoAdapter) {
    const struct {
        const char* path;
        const wchar_t* client;
    } paths[] = {
        {"release when the saver ends", L"open send:START reply close"},
        {"release after STOP and its grace", L"open send:START reply send:STOP close"},
    };
    for (const auto& path : paths) {
        // A dry run finds the release's calls (locate, status and enable for each entry).
        const auto [first, last] = dryRun(path.client);
        ASSERT_GT(first, 0u);
        ASSERT_EQ(last - first + 1, 6u) << path.path;  // three calls for each of the two entries

        killAtEveryCall(path.path, first, last,
                        [&](DWORD at, DWORD after) { return killDuring(path.client, at, after); });
    }
}

TEST_F(AdapterRelease, AServiceKilledInItsStartUpReleaseLosesNoAdapter) {
    const DWORD releaseStart = dryRun(L"open send:START reply close").first;
    ASSERT_GT(releaseStart, 0u);
    killAtEveryCall("start-up release", 1, 6, [&](DWORD at, DWORD after) -> DWORD {
        const DWORD crashed = killDuring(L"open send:START reply close", releaseStart, 0);
        EXPECT_EQ(savedDevices().size(), 2u);
        // Started as at boot, with the journal the crash left; it dies inside that release.
        resetCalls();
        armKill(at, after);
        if (!service.launch()) ADD_FAILURE() << "the service did not start";
        DWORD dying = 0;
        waitUntil([&] { return (dying = service.processId()) != 0 && dying != crashed; }, 10000, 50);
        EXPECT_NE(dying, crashed);
        EXPECT_TRUE(service.waitForProcessExit(dying, 10000)) << "the service was not killed";
        return dying;
    });
}

TEST_F(AdapterRelease, AFailingReleaseCallKeepsTheEntryAndIsRetried) {
    const struct {
        const wchar_t* call;
        DWORD times;  // 0: for good
    } rows[] = {
        {L"adapter.locateNode", 1}, {L"adapter.nodeStatus", 1}, {L"adapter.enableNode", 1},
        {L"adapter.locateNode", 0}, {L"adapter.enableNode", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(narrow(row.call) + (row.times ? " failing once" : " failing for good"));
        doubles::setAdapters(adapters);
        log.clear();
        PipeClientRun run = startPipeClient(service.installedClient(), L"open send:START reply alive:1000 close");
        ASSERT_TRUE(log.waitFor("Physical Ethernet/Wi-Fi adapters paused.", 5000));
        doubles::storeSetString(L"FailCall", row.call);
        doubles::storeSetDword(L"FailCode", 31);  // a device error, not "no such device"
        doubles::storeSetDword(L"FailSkip", 0);
        doubles::storeSetDword(L"FailTimes", row.times);
        finishPipeClient(run);
        ASSERT_TRUE(log.waitFor("Adapter restoration pending: " + narrow(adapters[0].id), 5000));
        if (row.times == 0) {
            EXPECT_TRUE(waitForNetworkState(3)) << publishedNetworkState();
            EXPECT_FALSE(savedDevices().empty());
            // No session while something is still to be given back.
            const auto refused = runPipeClient(service.installedClient(), L"open send:START reply close");
            EXPECT_FALSE(hasLine(refused, "reply OK"));
            // Retried every 2 s at the most: at least two more tries in 5 s.
            const auto tries = [&] {
                return std::ranges::count_if(seamCalls(),
                                             [&](const auto& call) { return call.starts_with(narrow(row.call)); });
            };
            const auto triedBefore = tries();
            Sleep(5000);
            EXPECT_GE(tries() - triedBefore, 2);
            EXPECT_FALSE(savedDevices().empty());
            ASSERT_TRUE(service.stop());
            // The entry survives a restart too, and the restarted service reports it (not the stopped one).
            RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState");
            ASSERT_TRUE(service.start());
            EXPECT_FALSE(savedDevices().empty());
            EXPECT_TRUE(waitForNetworkState(3)) << publishedNetworkState();
            doubles::storeSetString(L"FailCall", L"");
        }
        EXPECT_TRUE(waitUntil([] { return savedDevices().empty(); }, 5000, 50));  // the next retry succeeds
        EXPECT_TRUE(waitForNetworkState(0)) << publishedNetworkState();
        EXPECT_EQ(adapterSnapshot(), AllGivenBack);
        doubles::storeSetString(L"FailCall", L"");
    }
}

}  // namespace
}  // namespace calmlane
