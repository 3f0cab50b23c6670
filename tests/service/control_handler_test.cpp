// What the service's control handler records for each control the service manager delivers.
#include <gtest/gtest.h>

#include "service/service_host.h"

namespace calmlane {
namespace {

struct DisplayReport {
    alignas(POWERBROADCAST_SETTING) unsigned char bytes[sizeof(POWERBROADCAST_SETTING) + 4] = {};
    DisplayReport(DWORD value, DWORD length = 4, GUID guid = ConsoleDisplayState) {
        auto* s = reinterpret_cast<POWERBROADCAST_SETTING*>(bytes);
        s->PowerSetting = guid;
        s->DataLength = length;
        memcpy(s->Data, &value, sizeof(value));
    }
    const void* data() const { return bytes; }
};

ControlOutcome display(ServiceSignals& s, DWORD value, DWORD length = 4, GUID guid = ConsoleDisplayState) {
    DisplayReport report(value, length, guid);
    return recordControl(s, SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, report.data());
}

TEST(ControlHandler, OnlyDisplayOnAfterOffOrDimmedRequestsARestore) {
    ServiceSignals s;
    display(s, 1);  // unknown -> on: nothing
    EXPECT_FALSE(s.restoreRequested);
    EXPECT_EQ(s.consoleDisplayState, 1u);
    display(s, 2);
    display(s, 0);  // dimmed -> off: nothing
    EXPECT_FALSE(s.restoreRequested);
    display(s, 2);  // off -> dimmed: nothing
    EXPECT_FALSE(s.restoreRequested);
    display(s, 1);
    EXPECT_TRUE(s.restoreRequested);
    EXPECT_EQ(s.recoveryReason, 0x10000u);
    s.restoreRequested = false;
    display(s, 1);  // on -> on: nothing
    EXPECT_FALSE(s.restoreRequested);
}

TEST(ControlHandler, MalformedDisplayReportsAreIgnored) {
    ServiceSignals s;
    display(s, 3);
    display(s, 1, 2);
    display(s, 0, 4, GUID{});
    EXPECT_EQ(s.consoleDisplayState, 0xFFFFFFFFu);
    EXPECT_EQ(recordControl(s, SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, nullptr), ControlOutcome::Recorded);
    EXPECT_FALSE(s.restoreRequested);
}

TEST(ControlHandler, PowerSessionAndRestoreControlsCarryTheirReasons) {
    const struct {
        DWORD control, type, reason;
    } requests[] = {
        {SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, 131076},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, 131079},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, 131090},
        {128, 0, 128},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_DISCONNECT, 196610},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_REMOTE_DISCONNECT, 196612},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, 196614},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_UNLOCK, 196616},
    };
    for (const auto& r : requests) {
        ServiceSignals s;
        EXPECT_EQ(recordControl(s, r.control, r.type, nullptr), ControlOutcome::Recorded);
        EXPECT_TRUE(s.restoreRequested) << r.reason;
        EXPECT_EQ(s.recoveryReason, r.reason);
    }
    const struct {
        DWORD control, type;
    } ignored[] = {
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT}, {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON},   {SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE},
        {SERVICE_CONTROL_INTERROGATE, 0},                     {129, 0},
    };
    for (const auto& i : ignored) {
        ServiceSignals s;
        EXPECT_EQ(recordControl(s, i.control, i.type, nullptr), ControlOutcome::Recorded);
        EXPECT_FALSE(s.restoreRequested) << i.control << "/" << i.type;
    }
}

TEST(ControlHandler, StopAndShutdownStopTheService) {
    ServiceSignals s;
    EXPECT_EQ(recordControl(s, SERVICE_CONTROL_STOP, 0, nullptr), ControlOutcome::Stop);
    EXPECT_EQ(recordControl(s, SERVICE_CONTROL_SHUTDOWN, 0, nullptr), ControlOutcome::Stop);
    EXPECT_FALSE(s.restoreRequested);
}

}  // namespace
}  // namespace calmlane
