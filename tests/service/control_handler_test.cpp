// What the service's control handler records for each control the service manager delivers.
#include <gtest/gtest.h>

#include "service/service_host.h"

namespace calmlane {
namespace {

ControlOutcome display(ServiceSignals& s, DWORD value, DWORD length = 4, GUID guid = ConsoleDisplayState) {
    alignas(POWERBROADCAST_SETTING) unsigned char bytes[sizeof(POWERBROADCAST_SETTING) + 4] = {};
    auto* report = reinterpret_cast<POWERBROADCAST_SETTING*>(bytes);
    report->PowerSetting = guid;
    report->DataLength = length;
    memcpy(report->Data, &value, sizeof(value));
    return recordControl(s, SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, bytes);
}

// "display=1 restore=1 reason=65536"
std::string recorded(const ServiceSignals& s) {
    return "display=" + std::to_string(s.consoleDisplayState) + " restore=" + std::to_string(s.restoreRequested) +
           " reason=" + std::to_string(s.recoveryReason);
}

TEST(ControlHandler, OnlyDisplayOnAfterOffOrDimmedRequestsARestore) {
    const struct {
        DWORD display;
        const char* after;
    } steps[] = {
        {1, "display=1 restore=0 reason=0"},  // unknown -> on
        {2, "display=2 restore=0 reason=0"},
        {0, "display=0 restore=0 reason=0"},  // dimmed -> off
        {2, "display=2 restore=0 reason=0"},  // off -> dimmed
        {1, "display=1 restore=1 reason=65536"},
        {1, "display=1 restore=0 reason=65536"},  // on -> on, after the request was taken
    };
    ServiceSignals s;
    for (const auto& step : steps) {
        s.restoreRequested = false;
        EXPECT_EQ(display(s, step.display), ControlOutcome::Recorded);
        EXPECT_EQ(recorded(s), step.after);
    }
}

TEST(ControlHandler, MalformedDisplayReportsAreIgnored) {
    ServiceSignals s;
    display(s, 3);
    display(s, 1, 2);
    display(s, 0, 4, GUID{});
    EXPECT_EQ(recordControl(s, SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, nullptr), ControlOutcome::Recorded);
    EXPECT_EQ(recorded(s), "display=4294967295 restore=0 reason=0");
}

// Session changes count only for the session whose saver holds the pause (1 here).
TEST(ControlHandler, PowerSessionAndRestoreControlsCarryTheirReasonsAndStopAndShutdownStop) {
    const struct {
        DWORD control, type;
        const char* after;
        ControlOutcome outcome = ControlOutcome::Recorded;
        DWORD session = 1;
    } controls[] = {
        {SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND, "restore=1 reason=131076"},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND, "restore=1 reason=131079"},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMEAUTOMATIC, "restore=1 reason=131090"},
        {128, 0, "restore=1 reason=128"},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_DISCONNECT, "restore=1 reason=196610"},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_REMOTE_DISCONNECT, "restore=1 reason=196612"},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, "restore=1 reason=196614"},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_UNLOCK, "restore=1 reason=196616"},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_UNLOCK, "restore=0 reason=0", ControlOutcome::Recorded, 2},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGOFF, "restore=0 reason=0", ControlOutcome::Recorded, 2},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, "restore=0 reason=0"},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOCK, "restore=0 reason=0"},
        {SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_LOGON, "restore=0 reason=0"},
        {SERVICE_CONTROL_POWEREVENT, PBT_APMPOWERSTATUSCHANGE, "restore=0 reason=0"},
        {SERVICE_CONTROL_INTERROGATE, 0, "restore=0 reason=0"},
        {129, 0, "restore=0 reason=0"},
        {SERVICE_CONTROL_STOP, 0, "restore=0 reason=0", ControlOutcome::Stop},
        {SERVICE_CONTROL_SHUTDOWN, 0, "restore=0 reason=0", ControlOutcome::Stop},
    };
    for (const auto& c : controls) {
        ServiceSignals s;
        s.clientSession = 1;
        WTSSESSION_NOTIFICATION notification = {sizeof(notification), c.session};
        EXPECT_EQ(recordControl(s, c.control, c.type, &notification), c.outcome) << c.control << "/" << c.type;
        EXPECT_EQ(recorded(s), std::string("display=4294967295 ") + c.after) << c.control << "/" << c.type;
    }
    // Without a holder, or without the notification, a session change changes nothing.
    ServiceSignals idle;
    WTSSESSION_NOTIFICATION unlock = {sizeof(unlock), 1};
    recordControl(idle, SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_UNLOCK, &unlock);
    idle.clientSession = 1;
    recordControl(idle, SERVICE_CONTROL_SESSIONCHANGE, WTS_SESSION_UNLOCK, nullptr);
    EXPECT_EQ(recorded(idle), "display=4294967295 restore=0 reason=0");
}

}  // namespace
}  // namespace calmlane
