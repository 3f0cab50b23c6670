// Adapter mode and its recovery journal against the adapter double.
#include "service/adapters.h"

#include <gtest/gtest.h>

#include "app/settings.h"
#include "doubles/adapters_config.h"
#include "doubles/double_store.h"
#include "service/network_block.h"
#include "support/debug_log.h"
#include "support/registry_scratch.h"

namespace calmlane {
namespace {

using doubles::physicalAdapter;
using doubles::SimulatedAdapter;

DWORD networkState() { return readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", 99); }

std::string narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

void addJournalEntry(const std::wstring& id) { writeString(HKEY_LOCAL_MACHINE, Journal, id.c_str(), id); }

bool started(int number) {
    SimulatedAdapter a;
    return doubles::loadAdapter(static_cast<DWORD>(number), a) && (a.nodeStatus & 0x8) && a.problem == 0;
}

class AdapterMode : public ::testing::Test {
protected:
    void SetUp() override {
        test::deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 0);
    }
    void TearDown() override { test::deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey); }

    test::RegistryScratch scratch;
    test::DebugLog log;
};

TEST_F(AdapterMode, OnlyUpStartedPhysicalEthernetWifiAndMobileBroadbandAreEligible) {
    SimulatedAdapter wifi = physicalAdapter(2, 71);
    SimulatedAdapter cdmaModem = physicalAdapter(10, 244);
    SimulatedAdapter tunnel = physicalAdapter(3, 131);
    SimulatedAdapter virtualNic = physicalAdapter(4);
    virtualNic.hardware = false;
    SimulatedAdapter userDisabled = physicalAdapter(5);
    userDisabled.nodeStatus &= ~0x8u;
    userDisabled.problem = 22;
    SimulatedAdapter adminDown = physicalAdapter(6);
    adminDown.adminStatus = 2;
    SimulatedAdapter noDriverKey = physicalAdapter(7);
    noDriverKey.noDriverKey = true;
    SimulatedAdapter lowerCaseGuid = physicalAdapter(8);
    for (wchar_t& c : lowerCaseGuid.interfaceGuid) c = static_cast<wchar_t>(towlower(c));
    SimulatedAdapter interfaceOnly = physicalAdapter(9);
    interfaceOnly.id.clear();
    doubles::setAdapters({physicalAdapter(1), wifi, tunnel, virtualNic, userDisabled, adminDown, noDriverKey,
                          lowerCaseGuid, interfaceOnly, cdmaModem});
    const auto devices = physicalDevices();
    ASSERT_EQ(devices.size(), 4u);
    EXPECT_EQ(devices[0].instanceId, physicalAdapter(1).id);
    EXPECT_EQ(devices[1].instanceId, wifi.id);
    EXPECT_EQ(devices[2].instanceId, lowerCaseGuid.id);
    EXPECT_EQ(devices[3].instanceId, cdmaModem.id);
    EXPECT_EQ(devices[1].devInst, 2u);
    EXPECT_EQ(devices[1].luid, wifi.luid);
}

TEST_F(AdapterMode, PauseDisablesEveryEligibleAdapterAfterJournallingItAndReleaseEnablesThem) {
    SimulatedAdapter userDisabled = physicalAdapter(4);
    userDisabled.nodeStatus &= ~0x8u;
    userDisabled.problem = 22;
    const SimulatedAdapter lteModem = physicalAdapter(3, 243);
    doubles::setAdapters({physicalAdapter(1), physicalAdapter(2, 71), lteModem, userDisabled});
    ASSERT_TRUE(blockNetwork());
    EXPECT_EQ(networkState(), 1u);
    EXPECT_FALSE(started(1));
    EXPECT_FALSE(started(2));
    EXPECT_FALSE(started(3));
    EXPECT_EQ(savedDevices(),
              (std::vector<std::wstring>{physicalAdapter(1).id, physicalAdapter(2, 71).id, lteModem.id}));
    EXPECT_TRUE(log.waitFor("Physical Ethernet/Wi-Fi adapters paused.", 2000));

    ASSERT_TRUE(restore());
    EXPECT_TRUE(started(1));
    EXPECT_TRUE(started(2));
    EXPECT_TRUE(started(3));
    EXPECT_FALSE(started(4));  // the user's own choice is left alone
    EXPECT_TRUE(savedDevices().empty());
    EXPECT_EQ(networkState(), 0u);
    EXPECT_TRUE(log.waitFor("Adapter restored by Calmlane: " + narrow(physicalAdapter(1).id), 2000));
}

TEST_F(AdapterMode, NoPhysicalAdapterFailsThePauseWithoutTouchingAnything) {
    SimulatedAdapter tunnel = physicalAdapter(1, 131);
    SimulatedAdapter virtualNic = physicalAdapter(2);
    virtualNic.hardware = false;
    doubles::setAdapters({tunnel, virtualNic});
    EXPECT_FALSE(blockNetwork());
    EXPECT_EQ(networkState(), 3u);
    EXPECT_TRUE(started(1));
    EXPECT_TRUE(started(2));
    EXPECT_TRUE(doubles::storeString(L"Calls").find(L"disableNode") == std::wstring::npos);
}

TEST_F(AdapterMode, ASecondAdapterThatCannotBeDisabledUndoesTheFirst) {
    doubles::setAdapters({physicalAdapter(1), physicalAdapter(2)});
    doubles::storeSetString(L"FailCall", L"adapter.disableNode");
    doubles::storeSetDword(L"FailSkip", 1);
    EXPECT_FALSE(blockNetwork());
    EXPECT_TRUE(started(1));
    EXPECT_TRUE(started(2));
    EXPECT_TRUE(savedDevices().empty());
    EXPECT_EQ(networkState(), 3u);
    EXPECT_TRUE(log.waitFor("Adapter pause failed; device not claimed: " + narrow(physicalAdapter(2).id), 2000));
}

TEST_F(AdapterMode, ADeviceChangingBetweenChecksAbortsBeforeItIsDisabled) {
    doubles::setAdapters({physicalAdapter(1), physicalAdapter(2)});
    // The second device's status read in its re-check fails: two reads at enumeration, two per device check.
    doubles::storeSetString(L"FailCall", L"adapter.nodeStatus");
    doubles::storeSetDword(L"FailSkip", 5);
    doubles::storeSetDword(L"FailTimes", 1);
    EXPECT_FALSE(blockNetwork());
    EXPECT_TRUE(started(1));
    EXPECT_TRUE(started(2));
    EXPECT_TRUE(savedDevices().empty());
}

TEST_F(AdapterMode, AJournalEntryWhoseDeviceIsGoneIsCleared) {
    SimulatedAdapter gone = physicalAdapter(1);
    gone.absent = true;
    doubles::setAdapters({gone});
    addJournalEntry(gone.id);
    EXPECT_TRUE(restore());
    EXPECT_TRUE(savedDevices().empty());
    EXPECT_EQ(networkState(), 0u);
    EXPECT_TRUE(log.waitFor("Adapter recovery entry cleared (already active or absent): " + narrow(gone.id), 2000));
}

TEST_F(AdapterMode, AStaleJournalIsDiscardedWithoutEnablingAnything) {
    SimulatedAdapter disabled = physicalAdapter(1);
    disabled.nodeStatus &= ~0x8u;
    disabled.problem = 22;
    doubles::setAdapters({disabled});
    addJournalEntry(disabled.id);
    addJournalEntry(L"PCI\\OTHER");
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1);
    EXPECT_TRUE(restore());
    EXPECT_TRUE(log.waitFor(
        "Stale adapter recovery journal discarded without enabling 2 device(s); current mode: firewall.", 2000));
    EXPECT_TRUE(savedDevices().empty());
    EXPECT_FALSE(started(1));

    addJournalEntry(disabled.id);
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 0);
    test::setRawValue(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", REG_SZ, L"1", 4);
    EXPECT_TRUE(restore());
    EXPECT_TRUE(log.waitFor(
        "Stale adapter recovery journal discarded without enabling 1 device(s); current mode: not configured.", 2000));
    EXPECT_EQ(networkState(), 0u);
}

TEST_F(AdapterMode, ValuesThatAreNotIdsAreIgnoredAndNeverDeleted) {
    const DWORD number = 7;
    test::setRawValue(HKEY_LOCAL_MACHINE, Journal, L"Number", REG_DWORD, &number, sizeof(number));
    test::setRawValue(HKEY_LOCAL_MACHINE, Journal, L"Empty", REG_SZ, nullptr, 0);
    test::setRawValue(HKEY_LOCAL_MACHINE, Journal, L"OneByte", REG_SZ, "x", 1);
    EXPECT_TRUE(savedDevices().empty());
    EXPECT_TRUE(restore());
    EXPECT_EQ(networkState(), 0u);
    EXPECT_TRUE(test::valueExists(HKEY_LOCAL_MACHINE, Journal, L"Number"));
    EXPECT_TRUE(test::valueExists(HKEY_LOCAL_MACHINE, Journal, L"Empty"));
}

TEST_F(AdapterMode, JournalIdsComeOnlyFromTheBytesEachValueHolds) {
    const std::wstring longId = L"PCI\\VEN_10EC&DEV_8168&SUBSYS_86771043&REV_15\\01000000684CE00000";
    const std::wstring shortId = L"USB\\VID_0B95";
    addJournalEntry(longId);
    // A value without terminator, shorter than the one read before it into the same buffer.
    test::setRawValue(HKEY_LOCAL_MACHINE, Journal, shortId.c_str(), REG_SZ, shortId.c_str(),
                      static_cast<DWORD>(shortId.size() * sizeof(wchar_t)));
    const std::wstring longest(5000, L'Z');
    test::setRawValue(HKEY_LOCAL_MACHINE, Journal, L"Huge", REG_SZ, longest.c_str(),
                      static_cast<DWORD>(longest.size() * sizeof(wchar_t)));  // over 8,192 bytes: skipped
    const auto ids = savedDevices();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(ids[0], longId);
    EXPECT_EQ(ids[1], shortId);
    deleteSavedDevice(shortId);
    EXPECT_FALSE(test::valueExists(HKEY_LOCAL_MACHINE, Journal, shortId.c_str()));
}

TEST_F(AdapterMode, ADeviceStuckWithAnotherProblemKeepsItsEntry) {
    SimulatedAdapter broken = physicalAdapter(1);
    broken.nodeStatus &= ~0x8u;
    broken.problem = 10;  // failed to start
    doubles::setAdapters({broken});
    addJournalEntry(broken.id);
    EXPECT_FALSE(restore());
    EXPECT_EQ(networkState(), 3u);
    EXPECT_EQ(savedDevices().size(), 1u);
    EXPECT_TRUE(somethingLeftBlocked());
    EXPECT_TRUE(log.waitFor("Adapter restoration pending: " + narrow(broken.id), 2000));
    // An enable that fails is pending too.
    broken.devInst = 1;
    broken.problem = 22;
    doubles::saveAdapter(broken);
    doubles::storeSetString(L"FailCall", L"adapter.enableNode");
    EXPECT_FALSE(restore());
    doubles::storeSetString(L"FailCall", L"");
    EXPECT_TRUE(restore());
    EXPECT_TRUE(started(1));
}

}  // namespace
}  // namespace calmlane
