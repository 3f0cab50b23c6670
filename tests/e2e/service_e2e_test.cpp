// The test variant as a real service under Wine's service manager, with the scripted client installed
// as Calmlane.scr: whole pause sessions, heartbeats, refusals, restore requests and stops.
#include <gtest/gtest.h>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "support/process.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

using namespace test;

constexpr const char* Blocked = "IPv4/IPv6 Internet and LAN blocked (dynamic WFP filters).";

// The published state and the filter engines left open: "state=0 engines=0" once everything is released.
std::string firewallState() {
    return "state=" + std::to_string(publishedNetworkState()) +
           " engines=" + std::to_string(doubles::storeDword(L"OpenEngines", 0));
}

class ServiceSession : public DoublesTest {
protected:
    void SetUp() override {
        DoublesTest::SetUp();
        ASSERT_TRUE(log.active());
        ASSERT_TRUE(service.start());
    }

    InstalledService service;
};

// A client admitted as the installed saver that never asks for the pause loses the pipe after 2 s, whatever
// else it sends, and a saver that comes meanwhile gets its pause.
TEST_F(ServiceSession, AClientThatNeverAsksLosesThePipeAfterTwoSeconds) {
    PipeClientRun quiet = startPipeClient(service.installedClient(), L"open send:ALIVE alive:4000 close");
    DebugLine accepted, dropped;
    ASSERT_TRUE(log.waitFor("Accepted saver process: " + std::to_string(GetProcessId(quiet.process)), 5000, &accepted));
    Sleep(2000);
    EXPECT_TRUE(hasLine(runPipeClient(service.installedClient(), L"open send:START reply close"), "reply OK"));
    ASSERT_TRUE(log.waitFor("No START from the client; checking display before release", 1000, &dropped));
    EXPECT_GE(dropped.tick - accepted.tick, 1900u);
    EXPECT_LE(dropped.tick - accepted.tick, 2600u);
    finishPipeClient(quiet);
}

TEST_F(ServiceSession, RestoreRequestReachesTheRunningService) {
    const std::wstring calmlane = binFolder() + L"\\Calmlane.exe";
    const auto running = runChild(calmlane, L"--restore-network", 30000);
    ASSERT_TRUE(running.finished);
    EXPECT_EQ(running.exitCode, 0u);
    EXPECT_TRUE(log.waitFor("Recovery requested; reason code: 128", 3000));
}

// A real hold: the display goes off (reported through the control handler), the saver ends, the block
// stays; stopping the service then gives the network back.
TEST_F(ServiceSession, StoppingTheServiceReleasesAHeldBlock) {
    doubles::storeSetDword(L"ConsoleDisplay", 1);
    ASSERT_TRUE(log.waitFor("Console display state: 1", 3000));
    PipeClientRun run = startPipeClient(service.installedClient(), L"open send:START reply alive:1000 send:STOP close");
    ASSERT_TRUE(log.waitFor(Blocked, 5000));
    doubles::storeSetDword(L"ConsoleDisplay", 0);
    ASSERT_TRUE(log.waitFor("Console display state: 0", 3000));
    const auto client = finishPipeClient(run);
    EXPECT_TRUE(hasLine(client, "reply OK"));
    ASSERT_TRUE(log.waitFor("Saver sent STOP; checking display before release", 3000));
    Sleep(3000);  // past the grace: held, not released
    EXPECT_FALSE(log.contains("Firewall filters released."));
    EXPECT_EQ(firewallState(), "state=1 engines=1");
    ASSERT_TRUE(service.stop());
    EXPECT_TRUE(log.waitFor("Service stopping: restoring network.", 2000));
    EXPECT_TRUE(log.waitFor("Firewall filters released.", 2000));
    EXPECT_EQ(firewallState(), "state=0 engines=0");
}

// Windows starts the idle saver from SCRNSAVE.EXE as its Screen Saver dialog stored it, an 8.3 path,
// and reports the process under that name: the installed saver is admitted by what it is.
TEST_F(ServiceSession, TheInstalledSaverStartedByItsShortPathIsAdmitted) {
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(service.installedClient().c_str(), shortPath, MAX_PATH), 0u);
    ASSERT_NE(std::wstring(shortPath), service.installedClient());
    const auto client = runPipeClientThroughLoader(shortPath, L"image open send:START reply state send:STOP close");
    EXPECT_EQ(clientStory(client), "image " + narrow(shortPath) + ", open ok, reply OK, state 1, closed");
    EXPECT_TRUE(log.waitFor("Restoring network: Saver sent STOP", 5000));
    EXPECT_FALSE(log.contains("Rejected client executable path."));
}

TEST_F(ServiceSession, AClientOutsideTheInstallFolderIsRefused) {
    const auto client = runPipeClient(binFolder() + L"\\pipe_client.exe", L"open send:START reply");
    EXPECT_TRUE(hasLine(client, "open ok"));
    EXPECT_FALSE(hasLine(client, "reply OK"));
    EXPECT_FALSE(hasLine(client, "reply ERROR"));
    EXPECT_TRUE(log.waitFor("Rejected client executable path.", 3000));
    EXPECT_FALSE(log.contains(Blocked));
    // The service goes on listening: the installed client gets its session.
    const auto next = runPipeClient(service.installedClient(), L"open send:START reply send:STOP close");
    EXPECT_TRUE(hasLine(next, "reply OK"));
}

}  // namespace
}  // namespace calmlane
