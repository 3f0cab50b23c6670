// The test variant as a real service under Wine's service manager, with the scripted client installed
// as Calmlane.scr: whole pause sessions, heartbeats, refusals, restore requests and stops.
#include <gtest/gtest.h>

#include "app/constants.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "support/debug_log.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

using namespace test;

DWORD networkState() { return readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", 99); }

bool has(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& l : lines) {
        if (l == line) return true;
    }
    return false;
}

class ServiceSession : public ::testing::Test {
protected:
    void SetUp() override {
        deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
        ASSERT_TRUE(log.active());
        ASSERT_TRUE(service.start());
        ASSERT_TRUE(log.waitFor("Service stopping: restoring network.", 0) == false);
    }
    void TearDown() override { deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey); }

    RegistryScratch scratch;
    DebugLog log;
    InstalledService service;
};

TEST_F(ServiceSession, FirewallSessionBlocksUntilStopAndReleasesAfterTheGrace) {
    const auto client =
        runPipeClient(service.installedClient(), L"open send:START reply state alive:2000 send:STOP close");
    EXPECT_TRUE(has(client, "open ok"));
    EXPECT_TRUE(has(client, "reply OK"));
    EXPECT_TRUE(has(client, "state 1"));
    DebugLine end, release;
    ASSERT_TRUE(log.waitFor("Saver sent STOP; checking display before release", 5000, &end));
    ASSERT_TRUE(log.waitFor("Restoring network: Saver sent STOP", 5000, &release));
    EXPECT_GE(release.tick - end.tick, 1900u);
    EXPECT_LE(release.tick - end.tick, 3000u);
    ASSERT_TRUE(log.waitFor("Firewall filters released.", 2000));
    EXPECT_EQ(networkState(), 0u);
    EXPECT_EQ(doubles::storeDword(L"OpenEngines", 0), 0u);
    EXPECT_TRUE(log.contains("IPv4/IPv6 Internet and LAN blocked (dynamic WFP filters)."));
}

}  // namespace
}  // namespace calmlane
