// Firewall mode against the recording filtering-platform double, with a failure at every call.
#include "service/firewall.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/settings.h"
#include "doubles/double_store.h"
#include "service/network_block.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

using test::seamCalls;

// The engine as the product and the double see it, and the published state: "open=1 engines=1 left=1 state=1".
std::string engine() {
    return "open=" + std::to_string(firewallEngineOpen()) +
           " engines=" + std::to_string(doubles::storeDword(L"OpenEngines", 0)) +
           " left=" + std::to_string(somethingLeftBlocked()) +
           " state=" + std::to_string(test::publishedNetworkState());
}

class Firewall : public test::DoublesTest {
protected:
    void TearDown() override {
        doubles::storeSetString(L"FailCall", L"");
        restore();
        DoublesTest::TearDown();
    }
};

TEST_F(Firewall, BlockOpensADynamicSessionWithOneSublayerAndSixBlockFiltersInOneTransaction) {
    ASSERT_TRUE(blockNetwork());
    const std::string filter = " sublayer={89F541C1-5A12-4F2A-B5EF-738A38A78091} action=4097 weight=15 conditions=0 "
                               "name=Calmlane temporary network pause";
    EXPECT_EQ(seamCalls(), (std::vector<std::string>{
                               "wfp.engineOpen flags=1 name=Calmlane",
                               "wfp.transactionBegin",
                               "wfp.subLayerAdd key={89F541C1-5A12-4F2A-B5EF-738A38A78091} weight=65535 name=Calmlane",
                               "wfp.filterAdd layer={C86FD1BF-21CD-497E-A0BB-17425C885C58}" + filter,
                               "wfp.filterAdd layer={1E5C9FAE-8A84-4135-A331-950B54229ECD}" + filter,
                               "wfp.filterAdd layer={F52032CB-991C-46E7-971D-2601459A91CA}" + filter,
                               "wfp.filterAdd layer={A3B3AB6B-3564-488C-9117-F34E82142763}" + filter,
                               "wfp.filterAdd layer={A82ACC24-4EE1-4EE1-B465-FD1D25CB10A4}" + filter,  // forwarded
                               "wfp.filterAdd layer={7B964818-19C7-493A-B71F-832C3684D28C}" + filter,
                               "wfp.transactionCommit",
                           }));
    EXPECT_EQ(engine(), "open=1 engines=1 left=1 state=1");
    EXPECT_TRUE(log.waitFor("IPv4/IPv6 Internet and LAN blocked (dynamic WFP filters).", 2000));

    ASSERT_TRUE(restore());
    EXPECT_EQ(engine(), "open=0 engines=0 left=0 state=0");
    EXPECT_TRUE(log.waitFor("Firewall filters released.", 2000));
    // A new block after a release succeeds again with the same sublayer.
    EXPECT_TRUE(blockNetwork());
}

TEST_F(Firewall, AnyFailingCallLeavesNoEngineOpenAndFailsTheBlock) {
    const struct {
        const wchar_t* call;
        DWORD skip;
        bool aborted;
        const char* line;  // expected log line, or null
    } cases[] = {
        {L"wfp.engineOpen", 0, false, "WFP engine open failed: Windows error (2150760450)"},
        {L"wfp.transactionBegin", 0, false, nullptr},
        {L"wfp.subLayerAdd", 0, true, "WFP failure: Windows error (2150760450)"},
        {L"wfp.filterAdd", 0, true, "WFP failure: Windows error (2150760450)"},
        {L"wfp.filterAdd", 3, true, "WFP failure: Windows error (2150760450)"},
        {L"wfp.filterAdd", 5, true, "WFP failure: Windows error (2150760450)"},  // the last forwarding filter
        {L"wfp.transactionCommit", 0, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(test::narrow(c.call) + " after " + std::to_string(c.skip));
        doubles::storeSetString(L"Calls", L"");
        doubles::storeSetString(L"FailCall", c.call);
        doubles::storeSetDword(L"FailSkip", c.skip);
        doubles::storeSetDword(L"FailCode", 0x80320002);  // FWP_E_PROVIDER_NOT_FOUND: unknown to the message table
        log.clear();
        EXPECT_FALSE(blockNetwork());
        EXPECT_EQ(engine(), "open=0 engines=0 left=0 state=3");
        const auto made = seamCalls();
        EXPECT_EQ(std::count(made.begin(), made.end(), "wfp.transactionAbort"), c.aborted ? 1 : 0);
        if (c.line) {
            EXPECT_TRUE(log.waitFor(c.line, 2000));
        }
        EXPECT_FALSE(log.contains("IPv4/IPv6 Internet and LAN blocked (dynamic WFP filters)."));
        doubles::storeSetString(L"FailCall", L"");
    }
}

TEST_F(Firewall, AFailedCloseKeepsTheBlockAndIsRetried) {
    ASSERT_TRUE(blockNetwork());
    doubles::storeSetString(L"FailCall", L"wfp.engineClose");
    EXPECT_FALSE(restore());
    EXPECT_EQ(engine(), "open=1 engines=1 left=1 state=3");
    EXPECT_TRUE(log.waitFor("Firewall recovery failed; retry pending.", 2000));
    doubles::storeSetString(L"FailCall", L"");
    EXPECT_TRUE(restore());
    EXPECT_EQ(engine(), "open=0 engines=0 left=0 state=0");
}

TEST_F(Firewall, StartIsRefusedUntilAModeIsConfigured) {
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0);
    EXPECT_FALSE(blockNetwork());
    EXPECT_TRUE(seamCalls().empty());
    EXPECT_EQ(engine(), "open=0 engines=0 left=0 state=3");
    test::deleteTree(HKEY_LOCAL_MACHINE, RegistryPath);
    EXPECT_FALSE(blockNetwork());
}

}  // namespace
}  // namespace calmlane
