// The pause-session loop on a simulated clock: every timing and ordering rule without a real pipe.
#include "service/session_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace calmlane {
namespace {

const std::string Hold = "log:Screen off/dimmed: service retains network block after saver exit/timeout.";
std::string ending(const std::string& reason) { return "log:" + reason + "; checking display before release"; }
std::string release(const std::string& reason) { return "log:Restoring network: " + reason + ", restore"; }

class FakePort : public SessionPort {
public:
    std::vector<std::string> actions;  // "log:...", "block", "reply:OK", "restore", "close", "disconnect", "admit"
    std::deque<PipeRead> reads;
    bool clientWaiting = false;
    bool processEnded = false;
    bool blockResult = true;
    bool restoreResult = true;
    bool leftBlocked = false;
    std::uint64_t clock = 100000;  // the simulated tick count
    std::uint64_t blockMs = 0;     // how long the block takes (adapters disable synchronously)

    void log(const std::wstring& line) override { actions.push_back("log:" + std::string(line.begin(), line.end())); }
    bool pollAndAdmit() override {
        if (!clientWaiting) return false;
        clientWaiting = false;
        actions.push_back("admit");
        return true;
    }
    PipeRead readPipe() override {
        if (reads.empty()) return PipeRead{PipeRead::Kind::Error, "", 232};
        PipeRead r = reads.front();
        reads.pop_front();
        return r;
    }
    bool clientProcessEnded() override { return processEnded; }
    bool block() override {
        actions.push_back("block");
        clock += blockMs;
        return blockResult;
    }
    std::uint64_t tick() override { return clock; }
    void reply(const char* text) override { actions.push_back(std::string("reply:") + text); }
    bool restore() override {
        actions.push_back("restore");
        if (restoreResult) leftBlocked = false;
        return restoreResult;
    }
    bool somethingLeftBlocked() override { return leftBlocked; }
    void closeClientProcess() override { actions.push_back("close"); }
    void disconnectPipe() override { actions.push_back("disconnect"); }

    void send(const std::string& text) { reads.push_back(PipeRead{PipeRead::Kind::Message, text, 0}); }
    void fail(unsigned long error) { reads.push_back(PipeRead{PipeRead::Kind::Error, "", error}); }

    bool has(const std::string& action) const {
        return std::find(actions.begin(), actions.end(), action) != actions.end();
    }
    // The actions so far, joined by ", "; forgets them.
    std::string take() {
        std::string joined;
        for (const auto& a : actions) joined.append(joined.empty() ? "" : ", ").append(a);
        actions.clear();
        return joined;
    }
};

// A machine, its port and the loop around them.
struct Loop {
    FakePort port;
    SessionMachine machine{port};
    std::uint64_t& now = port.clock;
    std::uint32_t display = DisplayUnknown;

    // One 50 ms loop pass.
    void pass(bool restoreRequested = false, std::uint32_t reason = 0) {
        machine.pass(now, display, restoreRequested, reason);
        now += 50;
    }
    void passFor(std::uint64_t ms) {
        for (std::uint64_t end = now + ms; now < end;) pass();
    }
    // Passes until the port saw `action`, for at most a simulated minute; the tick of that pass.
    std::uint64_t passUntil(const std::string& action) {
        for (const std::uint64_t end = now + 60000; now < end;) {
            pass();
            if (port.has(action)) return now - 50;
        }
        ADD_FAILURE() << "never saw " << action;
        return now;
    }
    // Admits a client and has it send START; forgets the actions.
    void startBlockedSession() {
        port.clientWaiting = true;
        port.send("START");
        pass();
        EXPECT_TRUE(machine.blocked());
        port.actions.clear();
    }
    // The machine's flags that are set, e.g. "open blocked".
    std::string flags() const {
        const std::pair<bool, const char*> all[] = {{machine.sessionOpen(), "open"},
                                                    {machine.blocked(), "blocked"},
                                                    {machine.holding(), "holding"},
                                                    {machine.releasePending(), "pending"}};
        std::string set;
        for (const auto& [on, name] : all) {
            if (on) set.append(set.empty() ? "" : " ").append(name);
        }
        return set;
    }
};

class Session : public ::testing::Test, public Loop {};

TEST_F(Session, AdmittedClientIsReadInTheSamePassAndStartBlocksAndRepliesOk) {
    port.clientWaiting = true;
    port.send("START");
    pass();
    EXPECT_EQ(port.take(), "admit, block, reply:OK");
    EXPECT_EQ(flags(), "open blocked");
}

// How a session ends. Whatever ends it is logged once; a blocked session is released 2 s later unless the
// display is off or dimmed then or during the grace (a hold); a session that never blocked is released at
// once. Without any display report (a failed subscription, or Wine) the display counts as on.
TEST(SessionEnd, EveryEndIsReleasedOnceAfterItsGraceOrHeldWhileTheDisplayIsDark) {
    enum class By { Message, ProcessEnd, PipeError };
    const struct {
        const char* what;
        bool blocked;           // START was answered before the end
        std::uint32_t display;  // at the end
        bool darkInGrace;       // the display goes off 1 s after the end
        By by;
        const char* message;
        unsigned long error;
        const char* reason;
        int releasedAfterMs;  // -1: held, from the pass heldAfterMs after the end
        int heldAfterMs = -1;
    } rows[] = {
        {"STOP, display on", true, DisplayOn, false, By::Message, "STOP", 0, "Saver sent STOP", 2000},
        {"STOP, no display report", true, DisplayUnknown, false, By::Message, "STOP", 0, "Saver sent STOP", 2000},
        {"STOP, display dimmed", true, DisplayDimmed, false, By::Message, "STOP", 0, "Saver sent STOP", -1, 0},
        {"STOP, display off in the grace", true, DisplayOn, true, By::Message, "STOP", 0, "Saver sent STOP", -1, 1000},
        {"a second START", true, DisplayOn, false, By::Message, "START", 0, "Unexpected pipe command", 2000},
        {"process ended before START", false, DisplayOn, false, By::ProcessEnd, nullptr, 0, "Saver process ended", 0},
        {"lower-case start", false, DisplayUnknown, false, By::Message, "start", 0, "Unexpected pipe command", 0},
        {"ALIVE and a space", false, DisplayUnknown, false, By::Message, "ALIVE ", 0, "Unexpected pipe command", 0},
        {"pipe error 234", false, DisplayUnknown, false, By::PipeError, nullptr, 234, "Pipe closed/error: 234", 0},
        {"pipe error 109", false, DisplayUnknown, false, By::PipeError, nullptr, 109, "Pipe closed/error: 109", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Loop loop;
        FakePort& port = loop.port;
        port.clientWaiting = true;
        if (row.blocked) port.send("START");
        loop.machine.pass(port.clock, row.display, false, 0);
        ASSERT_EQ(loop.machine.blocked(), row.blocked);
        port.actions.clear();
        if (row.by == By::Message) port.send(row.message);
        if (row.by == By::PipeError) port.fail(row.error);
        port.processEnded = row.by == By::ProcessEnd;

        const std::uint64_t end = port.clock + 50;
        int releasedAfter = -1, heldAfter = -1;
        for (std::uint64_t now = end; now <= end + 10000; now += 50) {
            const bool dark = row.darkInGrace && now >= end + 1000;
            loop.machine.pass(now, dark ? DisplayOff : row.display, false, 0);
            if (now == end && row.releasedAfterMs > 0) {
                EXPECT_TRUE(loop.machine.releasePending());
            }
            if (releasedAfter < 0 && port.has("restore")) releasedAfter = static_cast<int>(now - end);
            if (heldAfter < 0 && loop.machine.holding()) heldAfter = static_cast<int>(now - end);
        }
        EXPECT_EQ(releasedAfter, row.releasedAfterMs);
        EXPECT_EQ(heldAfter, row.heldAfterMs);
        const bool held = row.releasedAfterMs < 0;
        const std::string darkening = row.darkInGrace ? "log:Console display state: 0, " : "";
        EXPECT_EQ(port.take(), ending(row.reason) + ", " + (held ? darkening + Hold : release(row.reason)) +
                                   ", close, disconnect");
        EXPECT_EQ(loop.flags(), held ? "blocked holding" : "");
    }
}

TEST_F(Session, DisplayOffAtTheEndHoldsTheBlockUntilTheDisplayReturns) {
    display = DisplayOn;
    startBlockedSession();
    display = DisplayOff;
    port.processEnded = true;
    pass();
    EXPECT_EQ(port.take(), "log:Console display state: 0, " + ending("Saver process ended") + ", " + Hold +
                               ", close, disconnect");
    EXPECT_EQ(flags(), "blocked holding");
    // Holding: nothing else runs, the pipe does not listen.
    port.processEnded = false;
    port.clientWaiting = true;
    passFor(10000);
    EXPECT_EQ(port.take(), "");
    // The control handler turns "display on after off" into a recovery request with reason 65536; the
    // pipe listens again in the same pass.
    display = DisplayOn;
    pass(true, 0x10000);
    EXPECT_EQ(port.take(), "log:Console display state: 1, log:Recovery requested; reason code: 65536, restore, admit");
    EXPECT_EQ(flags(), "open");
}

// ALIVE before START, no data (232) and a listening pipe (536) keep the session without blocking.
TEST_F(Session, AliveBeforeStartAndEmptyReadsKeepTheSessionWithoutBlocking) {
    port.clientWaiting = true;
    pass();
    port.fail(232);
    port.fail(536);
    pass();
    pass();
    for (int i = 0; i < 10; ++i) {
        port.send("ALIVE");
        passFor(600);
    }
    EXPECT_EQ(port.take(), "admit");
    EXPECT_EQ(flags(), "open");
}

TEST_F(Session, HeartbeatExpiresMoreThanFourSecondsAfterTheBlockReturned) {
    display = DisplayOn;
    port.blockMs = 5000;  // two adapters disabled synchronously
    startBlockedSession();
    const std::uint64_t lastMessage = now - 50;  // the tick when the block returned
    EXPECT_EQ(passUntil(ending("Heartbeat expired")) - lastMessage, 4050u);  // first pass past 4,000 ms
    passFor(2000);
    EXPECT_TRUE(port.has("log:Restoring network: Heartbeat expired"));
}

TEST_F(Session, ASlowBlockKeepsItsSessionWhileQueuedHeartbeatsArrive) {
    // Two adapters at 2.5 s each: the saver's "ALIVE"s queue up in the pipe meanwhile.
    display = DisplayOn;
    port.blockMs = 5000;
    startBlockedSession();
    for (int i = 0; i < 8; ++i) port.send("ALIVE");  // queued during the block
    for (int i = 0; i < 16; ++i) {
        passFor(600);
        port.send("ALIVE");
    }
    EXPECT_EQ(port.take(), "");
    EXPECT_EQ(flags(), "open blocked");

    // A STOP queued behind the heartbeats is read in turn and released after the grace.
    port.send("STOP");
    const std::uint64_t stopRead = passUntil(ending("Saver sent STOP"));
    EXPECT_EQ(passUntil("restore") - stopRead, DisplayGraceMs);
}

TEST(SessionExpiry, AMessageInTheExpiryPassDoesNotSaveTheSessionNorStartABlock) {
    const struct {
        bool blocked;
        const char* late;
        const char* after;
    } rows[] = {
        {false, "START", ", log:Restoring network: Heartbeat expired, restore, close, disconnect"},
        {true, "ALIVE", ""},  // released after the grace
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.late);
        Loop loop;
        loop.display = DisplayOn;
        loop.port.clientWaiting = true;
        if (row.blocked) loop.port.send("START");
        loop.pass();
        loop.port.actions.clear();
        loop.now += 4050;  // 4,100 ms after the last message
        loop.port.send(row.late);
        loop.pass();
        EXPECT_EQ(loop.port.take(), ending("Heartbeat expired") + row.after);
    }
}

TEST_F(Session, ProcessEndIsNoticedOnlyAfterItsQueuedMessages) {
    display = DisplayOn;
    startBlockedSession();
    port.send("ALIVE");
    port.send("STOP");
    port.processEnded = true;
    pass();
    pass();
    EXPECT_EQ(port.take(), ending("Saver sent STOP"));
}

TEST(SessionBlock, AFailedBlockRepliesErrorAndReleasesAtOnceHoweverLongItTook) {
    for (const std::uint64_t blockMs : {0u, 5000u}) {
        Loop loop;
        loop.port.blockMs = blockMs;
        loop.port.blockResult = false;
        loop.port.clientWaiting = true;
        loop.port.send("START");
        loop.pass();
        EXPECT_EQ(loop.port.take(), "admit, block, reply:ERROR, " + ending("Network blocking failed") + ", " +
                                        release("Network blocking failed") + ", close, disconnect")
            << blockMs << " ms";
    }
}

TEST_F(Session, RecoveryRequestReleasesOnceAndDropsAClientWithoutReply) {
    pass(true, 128);
    EXPECT_EQ(port.take(), "log:Recovery requested; reason code: 128, restore");
    display = DisplayOn;
    startBlockedSession();
    pass(true, 196616);
    EXPECT_EQ(port.take(), "log:Recovery requested; reason code: 196616, restore, close, disconnect");
    EXPECT_EQ(flags(), "");
}

TEST_F(Session, DisplayChangesAreLoggedOnce) {
    display = DisplayOn;
    pass();
    pass();
    display = DisplayDimmed;
    pass();
    display = DisplayOff;
    pass();
    EXPECT_EQ(port.take(),
              "log:Console display state: 1, log:Console display state: 2, log:Console display state: 0");
}

TEST_F(Session, LeftOverBlockIsRetriedEveryTwoSecondsAndKeepsThePipeClosed) {
    port.leftBlocked = true;
    port.restoreResult = false;
    port.clientWaiting = true;
    passFor(2000);
    EXPECT_EQ(port.take(), "restore");  // at once
    pass();
    EXPECT_EQ(port.take(), "restore");  // 2,000 ms after the first try
    passFor(2950);
    EXPECT_EQ(port.take(), "restore");  // at 4,000 ms
    port.restoreResult = true;
    passFor(2000);
    EXPECT_EQ(port.take(), "restore, admit");
}

TEST_F(Session, StopReleasesAndClosesTheClientOfASessionOrAHold) {
    startBlockedSession();
    machine.stop();
    EXPECT_EQ(port.take(), "log:Service stopping: restoring network., restore, close");
    EXPECT_EQ(flags(), "");

    display = DisplayOff;
    startBlockedSession();
    port.processEnded = true;
    pass();
    ASSERT_EQ(flags(), "blocked holding");
    port.actions.clear();
    machine.stop();
    EXPECT_EQ(port.take(), "log:Service stopping: restoring network., restore");
    EXPECT_EQ(flags(), "");
}

}  // namespace
}  // namespace calmlane
