// Adapter mode under Wine's service manager: a whole pause session, and a service killed at every
// point of a pause that must still give every adapter back when it starts again.
#include <gtest/gtest.h>

#include <cstdio>

#include "app/constants.h"
#include "app/settings.h"
#include "doubles/adapters_config.h"
#include "doubles/double_store.h"
#include "service/adapters.h"
#include "support/debug_log.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

using namespace test;


int adaptersDisabled() {
    int count = 0;
    for (const auto& a : doubles::loadAdapters()) count += (a.nodeStatus & 0x8) == 0 || a.problem != 0;
    return count;
}

class AdapterService : public ::testing::Test {
protected:
    void SetUp() override {
        deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 0);
        doubles::setAdapters(adapters);
        ASSERT_TRUE(log.active());
        ASSERT_TRUE(service.start());
    }
    void TearDown() override { deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey); }

    const std::vector<doubles::SimulatedAdapter> adapters = {doubles::physicalAdapter(1),
                                                              doubles::physicalAdapter(2, 71)};
    RegistryScratch scratch;
    DebugLog log;
    InstalledService service;
};

TEST_F(AdapterService, APauseSessionDisablesTheAdaptersAndGivesThemBack) {
    const auto client = runPipeClient(service.installedClient(), L"open send:START reply state alive:1300 send:STOP close");
    EXPECT_TRUE(hasLine(client, "reply OK"));
    EXPECT_TRUE(hasLine(client, "state 1"));
    EXPECT_TRUE(log.waitFor("Physical Ethernet/Wi-Fi adapters paused.", 2000));
    ASSERT_TRUE(log.waitFor("Restoring network: Saver sent STOP", 5000));
    ASSERT_TRUE(log.waitFor("Adapter restored by Calmlane: " + std::string(adapters[1].id.begin(), adapters[1].id.end()),
                            2000));
    EXPECT_EQ(adaptersDisabled(), 0);
    EXPECT_TRUE(savedDevices().empty());
    EXPECT_EQ(publishedNetworkState(), 0u);
}

TEST_F(AdapterService, AServiceKilledAnywhereInAPauseLosesNoAdapter) {
    // A dry run counts the seam calls of one whole pause (admission included).
    doubles::storeSetDword(L"CallCount", 0);
    const auto dry = runPipeClient(service.installedClient(), L"open send:START reply");
    ASSERT_TRUE(hasLine(dry, "reply OK"));
    const DWORD callsInPause = doubles::storeDword(L"CallCount", 0);
    ASSERT_GE(callsInPause, 10u);
    ASSERT_TRUE(log.waitFor("Restoring network: Saver process ended", 5000));

    int tried = 0, lost = 0, leftInJournal = 0, disabledAtCrash = 0;
    for (DWORD at = 1; at <= callsInPause; ++at) {
        for (DWORD after = 0; after <= 1; ++after) {
            SCOPED_TRACE("kill " + std::string(after ? "after" : "before") + " seam call " + std::to_string(at));
            doubles::setAdapters(adapters);
            doubles::storeSetDword(L"CallCount", 0);
            doubles::storeSetDword(L"KillAfter", after);
            doubles::storeSetDword(L"KillAt", at);
            const DWORD pid = service.processId();
            runPipeClient(service.installedClient(), L"open send:START reply close");
            ASSERT_TRUE(service.waitForProcessExit(pid, 10000)) << "the service was not killed";
            disabledAtCrash += adaptersDisabled();
            ASSERT_TRUE(service.restartAfterCrash(pid));
            ++tried;
            lost += adaptersDisabled();
            leftInJournal += static_cast<int>(savedDevices().size());
            EXPECT_EQ(publishedNetworkState(), 0u);
        }
    }
    std::printf("crash points tried: %d, adapters left disabled by the crashes: %d, adapters lost after restart: %d, "
                "journal entries left: %d\n",
                tried, disabledAtCrash, lost, leftInJournal);
    EXPECT_GT(disabledAtCrash, 0);  // the kills did hit adapters that were down
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(leftInJournal, 0);
}

}  // namespace
}  // namespace calmlane
