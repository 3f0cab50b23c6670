// Adapter mode and its recovery journal against the adapter double.
#include "service/adapters.h"
#include "service/journal.h"

#include <gtest/gtest.h>

#include "app/settings.h"
#include "doubles/adapters_config.h"
#include "doubles/double_store.h"
#include "service/network_block.h"
#include "support/service_harness.h"

namespace calmlane {
namespace {

using doubles::physicalAdapter;
using doubles::SimulatedAdapter;
using doubles::stoppedAdapter;
using test::adapterSnapshot;
using test::narrow;

void addJournalEntry(const std::wstring& id) { writeString(HKEY_LOCAL_MACHINE, Journal, id.c_str(), id); }

int callsTo(const std::string& call) {
    int n = 0;
    for (const std::string& line : test::seamCalls()) n += line.rfind(call + " ", 0) == 0;
    return n;
}

class AdapterMode : public test::DoublesTest {
protected:
    AdapterMode() : DoublesTest(true) {}
};

TEST_F(AdapterMode, OnlyUpStartedPhysicalEthernetWifiAndMobileBroadbandAreEligible) {
    std::vector<SimulatedAdapter> adapters;
    for (int number = 1; number <= 10; ++number) adapters.push_back(physicalAdapter(number));
    adapters[1].type = 71;  // Wi-Fi
    adapters[2].type = 131;  // a tunnel
    adapters[3].hardware = false;
    adapters[4] = stoppedAdapter(5);  // disabled by the user
    adapters[5].adminStatus = 2;
    adapters[6].noDriverKey = true;
    for (wchar_t& c : adapters[7].interfaceGuid) c = static_cast<wchar_t>(towlower(c));
    adapters[8].id.clear();  // an interface without a device
    adapters[9].type = 244;  // a CDMA modem
    doubles::setAdapters(adapters);
    std::string eligible;
    for (const PhysicalDevice& device : physicalDevices()) {
        const SimulatedAdapter& a = adapters[device.devInst - 1];
        const bool same = device.instanceId == a.id && device.luid == a.luid;
        eligible += std::to_string(device.devInst) + (same ? " " : "(differs) ");
    }
    EXPECT_EQ(eligible, "1 2 8 10 ");
}

TEST_F(AdapterMode, PauseDisablesEveryEligibleAdapterAfterJournallingItAndReleaseEnablesThem) {
    doubles::setAdapters({physicalAdapter(1), physicalAdapter(2, 71), physicalAdapter(3, 243), stoppedAdapter(4)});
    ASSERT_TRUE(blockNetwork());
    EXPECT_EQ(adapterSnapshot(), "started=- journal=1,2,3 state=1");
    EXPECT_TRUE(log.waitFor("Physical Ethernet/Wi-Fi adapters paused.", 2000));

    ASSERT_TRUE(restore());
    EXPECT_EQ(adapterSnapshot(), "started=1,2,3 journal=- state=0");  // the user's own choice is left alone
    EXPECT_TRUE(log.waitFor("Adapter restored by Calmlane: " + narrow(physicalAdapter(1).id), 2000));
}

TEST_F(AdapterMode, APauseThatCannotCompleteLeavesEveryAdapterAsItWas) {
    SimulatedAdapter virtualNic = physicalAdapter(2);
    virtualNic.hardware = false;
    const struct {
        const char* what;
        std::vector<SimulatedAdapter> adapters;
        const wchar_t* failCall;
        DWORD failSkip;
        int disables;
        std::string line;
    } rows[] = {
        {"no physical adapter", {physicalAdapter(1, 131), virtualNic}, L"", 0, 0, ""},
        {"the second adapter cannot be disabled", {physicalAdapter(1), physicalAdapter(2)}, L"adapter.disableNode", 1,
         2, "Adapter pause failed; device not claimed: " + narrow(physicalAdapter(2).id)},
        // Two status reads at enumeration and two per device check: the second device's re-check fails.
        {"the second adapter changes between checks", {physicalAdapter(1), physicalAdapter(2)}, L"adapter.nodeStatus",
         5, 1, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        doubles::setAdapters(row.adapters);
        doubles::storeSetString(L"Calls", L"");
        doubles::storeSetString(L"FailCall", row.failCall);
        doubles::storeSetDword(L"FailSkip", row.failSkip);
        doubles::storeSetDword(L"FailTimes", 1);
        EXPECT_FALSE(blockNetwork());
        EXPECT_EQ(adapterSnapshot(), "started=1,2 journal=- state=3");
        EXPECT_EQ(callsTo("adapter.disableNode"), row.disables);
        if (!row.line.empty()) {
            EXPECT_TRUE(log.waitFor(row.line, 2000));
        }
    }
}

// A release replays the journal: each entry is enabled, cleared or kept pending.
TEST_F(AdapterMode, JournalReplayEnablesClearsOrKeepsEachEntry) {
    enum class Mode { Adapters, Firewall, NotConfigured };
    SimulatedAdapter gone = physicalAdapter(1);
    gone.absent = true;
    const std::string id = narrow(gone.id);
    const struct {
        const char* what;
        SimulatedAdapter adapter;
        const wchar_t* otherEntry;  // a second journal entry, for no simulated device
        Mode mode;
        const wchar_t* failCall;
        bool restored;
        const char* after;
        std::string line;
    } rows[] = {
        {"its device is gone", gone, nullptr, Mode::Adapters, L"", true, "started=1 journal=- state=0",
         "Adapter recovery entry cleared (already active or absent): " + id},
        // Every entry was written by a pause of this service, whatever mode is in force now.
        {"firewall mode now", stoppedAdapter(1), L"PCI\\OTHER", Mode::Firewall, L"", true,
         "started=1 journal=- state=0", "Adapter recovery entry cleared (already active or absent): PCI\\OTHER"},
        {"no valid mode now", stoppedAdapter(1), nullptr, Mode::NotConfigured, L"", true,
         "started=1 journal=- state=0", "Adapter restored by Calmlane: " + id},
        {"the device failed to start", stoppedAdapter(1, 10), nullptr, Mode::Adapters, L"", false,
         "started=- journal=1 state=3", "Adapter restoration pending: " + id},
        {"the enable fails", stoppedAdapter(1), nullptr, Mode::Adapters, L"adapter.enableNode", false,
         "started=- journal=1 state=3", "Adapter restoration pending: " + id},
        {"disabled by a pause", stoppedAdapter(1), nullptr, Mode::Adapters, L"", true, "started=1 journal=- state=0",
         "Adapter restored by Calmlane: " + id},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        doubles::setAdapters({row.adapter});
        addJournalEntry(row.adapter.id);
        if (row.otherEntry) addJournalEntry(row.otherEntry);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", row.mode == Mode::Firewall);
        if (row.mode == Mode::NotConfigured) {
            test::setRawValue(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", REG_SZ, L"1", 4);
        }
        doubles::storeSetString(L"FailCall", row.failCall);
        log.clear();
        EXPECT_EQ(restore(), row.restored);
        EXPECT_EQ(adapterSnapshot(), row.after);
        EXPECT_EQ(somethingLeftBlocked(), !row.restored);
        EXPECT_TRUE(log.waitFor(row.line, 2000));
        test::deleteTree(HKEY_LOCAL_MACHINE, Journal);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    }
}

TEST_F(AdapterMode, ValuesThatAreNotIdsAreIgnoredAndNeverDeleted) {
    const DWORD number = 7;
    test::setRawValue(HKEY_LOCAL_MACHINE, Journal, L"Number", REG_DWORD, &number, sizeof(number));
    test::setRawValue(HKEY_LOCAL_MACHINE, Journal, L"Empty", REG_SZ, nullptr, 0);
    test::setRawValue(HKEY_LOCAL_MACHINE, Journal, L"OneByte", REG_SZ, "x", 1);
    EXPECT_TRUE(restore());
    EXPECT_EQ(adapterSnapshot(), "started=- journal=- state=0");
    for (const wchar_t* name : {L"Number", L"Empty", L"OneByte"}) {
        EXPECT_TRUE(test::valueExists(HKEY_LOCAL_MACHINE, Journal, name)) << narrow(name);
    }
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
    EXPECT_EQ(savedDevices(), (std::vector<std::wstring>{longId, shortId}));
    deleteSavedDevice(shortId);
    EXPECT_FALSE(test::valueExists(HKEY_LOCAL_MACHINE, Journal, shortId.c_str()));
}

}  // namespace
}  // namespace calmlane
