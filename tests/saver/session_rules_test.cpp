// The saver's session rules: when the display stops its frames, and when a pipe word counts as sent.
#include <gtest/gtest.h>

#include <cstring>

#include "app/display_state.h"
#include "app/handles.h"
#include "saver/saver.h"

namespace calmlane {
namespace {

TEST(SaverDisplay, FramesFollowTheConsoleDisplayReports) {
    // GUID_SESSION_DISPLAY_STATUS: a report of another setting.
    const GUID sessionDisplay = {0x2B84C20E, 0xAD23, 0x4DDF, {0x93, 0xDB, 0x05, 0xFF, 0xBD, 0x7E, 0xFC, 0xA5}};
    const struct {
        bool running;
        GUID setting;
        DWORD length;
        DWORD state;
        bool runsAfter;
    } rows[] = {
        {true, ConsoleDisplayState, 4, 0, false},   // off: no frames
        {false, ConsoleDisplayState, 4, 1, true},   // on again
        {false, ConsoleDisplayState, 4, 2, true},   // dimmed is still seen
        {true, ConsoleDisplayState, 4, 2, true},
        {false, ConsoleDisplayState, 4, 3, false},  // unknown state
        {true, ConsoleDisplayState, 4, 7, true},
        {true, ConsoleDisplayState, 2, 0, true},    // a short report
        {true, sessionDisplay, 4, 0, true},
    };
    for (const auto& row : rows) {
        BYTE buffer[sizeof(POWERBROADCAST_SETTING) + sizeof(DWORD)] = {};
        auto* report = reinterpret_cast<POWERBROADCAST_SETTING*>(buffer);
        report->PowerSetting = row.setting;
        report->DataLength = row.length;
        std::memcpy(report->Data, &row.state, sizeof(row.state));
        EXPECT_EQ(framesRunAfter(row.running, *report), row.runsAfter)
            << "running " << row.running << ", length " << row.length << ", state " << row.state;
    }
}

// A full pipe (a service busy blocking) takes no word but reports success: that heartbeat is skipped and
// the session goes on. Only a failed write, a pipe the server closed, ends it.
TEST(SaverPipe, AFullPipeSkipsAWordAndOnlyABrokenOneEndsTheSession) {
    const wchar_t* name = L"\\\\.\\pipe\\Calmlane.Test.ShortWrite";
    UniqueHandle server(CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT,
                                         1, 0, 8, 0, nullptr));
    ASSERT_TRUE(server);
    UniqueHandle client(CreateFileW(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client);
    DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
    ASSERT_TRUE(SetNamedPipeHandleState(client.get(), &mode, nullptr, nullptr));
    int sent = 0;
    while (sent < 100 && writePipeWord(client.get(), "ALIVE") == PipeWrite::Sent) ++sent;  // nobody reads
    EXPECT_LT(sent, 100);
    EXPECT_GT(sent, 0);
    EXPECT_EQ(writePipeWord(client.get(), "ALIVE"), PipeWrite::Full);
    server.reset();
    EXPECT_EQ(writePipeWord(client.get(), "ALIVE"), PipeWrite::Failed);
}

}  // namespace
}  // namespace calmlane
