// The pause-session loop on a simulated clock: every timing and ordering rule without a real pipe.
#include "service/session_machine.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace calmlane {
namespace {

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

    int count(const std::string& action) const {
        int n = 0;
        for (const auto& a : actions) n += a == action;
        return n;
    }
    bool has(const std::string& action) const { return count(action) > 0; }
    // Position of the first occurrence, or -1.
    int at(const std::string& action) const {
        for (std::size_t i = 0; i < actions.size(); ++i) {
            if (actions[i] == action) return static_cast<int>(i);
        }
        return -1;
    }
};

class Session : public ::testing::Test {
protected:
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
    // Admits a client and has it send START.
    void startBlockedSession() {
        port.clientWaiting = true;
        port.send("START");
        pass();
        ASSERT_TRUE(machine.blocked());
        port.actions.clear();
    }
};

TEST_F(Session, AdmittedClientIsReadInTheSamePassAndStartBlocksAndRepliesOk) {
    port.clientWaiting = true;
    port.send("START");
    pass();
    EXPECT_EQ(port.actions, (std::vector<std::string>{"admit", "block", "reply:OK"}));
    EXPECT_TRUE(machine.sessionOpen());
    EXPECT_TRUE(machine.blocked());
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
        FakePort port;
        SessionMachine machine(port);
        port.clientWaiting = true;
        if (row.blocked) port.send("START");
        machine.pass(port.clock, row.display, false, 0);
        ASSERT_EQ(machine.blocked(), row.blocked);
        port.actions.clear();
        if (row.by == By::Message) port.send(row.message);
        if (row.by == By::PipeError) port.fail(row.error);
        port.processEnded = row.by == By::ProcessEnd;

        const std::string checking = "log:" + std::string(row.reason) + "; checking display before release";
        const std::uint64_t end = port.clock + 50;
        int releasedAfter = -1, heldAfter = -1;
        for (std::uint64_t now = end; now <= end + 10000; now += 50) {
            const bool dark = row.darkInGrace && now >= end + 1000;
            machine.pass(now, dark ? DisplayOff : row.display, false, 0);
            if (now == end && row.releasedAfterMs > 0) {
                EXPECT_TRUE(machine.releasePending());
            }
            if (releasedAfter < 0 && port.has("restore")) releasedAfter = static_cast<int>(now - end);
            if (heldAfter < 0 && machine.holding()) heldAfter = static_cast<int>(now - end);
        }
        EXPECT_EQ(releasedAfter, row.releasedAfterMs);
        EXPECT_EQ(heldAfter, row.heldAfterMs);
        EXPECT_EQ(port.count(checking), 1);
        EXPECT_FALSE(port.has("block"));
        EXPECT_EQ(port.count("close"), 1);
        EXPECT_EQ(port.count("disconnect"), 1);
        EXPECT_FALSE(machine.sessionOpen());
        EXPECT_FALSE(machine.releasePending());
        EXPECT_EQ(machine.holding(), row.releasedAfterMs < 0);
        if (row.releasedAfterMs < 0) {
            EXPECT_LT(port.at(checking),
                      port.at("log:Screen off/dimmed: service retains network block after saver exit/timeout."));
        } else {
            EXPECT_EQ(port.count("restore"), 1);
            EXPECT_LT(port.at("log:Restoring network: " + std::string(row.reason)), port.at("restore"));
            EXPECT_EQ(port.actions.back(), "disconnect");
            EXPECT_FALSE(machine.blocked());
        }
    }
}

TEST_F(Session, DisplayOffAtTheEndHoldsTheBlockUntilTheDisplayReturns) {
    display = DisplayOn;
    startBlockedSession();
    display = DisplayOff;
    port.processEnded = true;
    pass();
    EXPECT_TRUE(port.has("log:Saver process ended; checking display before release"));
    EXPECT_TRUE(port.has("log:Screen off/dimmed: service retains network block after saver exit/timeout."));
    EXPECT_FALSE(port.has("restore"));
    EXPECT_TRUE(machine.holding());
    // Holding: nothing else runs, the pipe does not listen.
    port.actions.clear();
    port.clientWaiting = true;
    passFor(10000);
    EXPECT_TRUE(port.actions.empty());
    // The control handler turns "display on after off" into a recovery request with reason 65536.
    display = DisplayOn;
    pass(true, 0x10000);
    EXPECT_TRUE(port.has("log:Recovery requested; reason code: 65536"));
    EXPECT_TRUE(port.has("restore"));
    EXPECT_FALSE(machine.holding());
    EXPECT_TRUE(port.has("admit"));  // listening again in the same pass
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
    EXPECT_TRUE(machine.sessionOpen());
    EXPECT_FALSE(port.has("block"));
    EXPECT_FALSE(port.has("restore"));
}

TEST_F(Session, HeartbeatExpiresMoreThanFourSecondsAfterTheBlockReturned) {
    display = DisplayOn;
    port.blockMs = 5000;  // two adapters disabled synchronously
    startBlockedSession();
    const std::uint64_t lastMessage = now - 50;  // the tick when the block returned
    EXPECT_EQ(passUntil("log:Heartbeat expired; checking display before release") - lastMessage,
              4050u);  // first pass past 4,000 ms
    passFor(2000);
    EXPECT_TRUE(port.has("log:Restoring network: Heartbeat expired"));
}

TEST_F(Session, ASlowBlockKeepsItsSessionWhileQueuedHeartbeatsArrive) {
    // Two adapters at 2.5 s each: the saver's "ALIVE"s queue up in the pipe meanwhile.
    display = DisplayOn;
    port.blockMs = 5000;
    port.clientWaiting = true;
    port.send("START");
    pass();
    ASSERT_TRUE(machine.blocked());
    for (int i = 0; i < 8; ++i) port.send("ALIVE");  // queued during the block
    for (int i = 0; i < 16; ++i) {
        passFor(600);
        port.send("ALIVE");
    }
    EXPECT_FALSE(port.has("log:Heartbeat expired; checking display before release"));
    EXPECT_TRUE(machine.sessionOpen());
    EXPECT_TRUE(machine.blocked());

    // A STOP queued behind the heartbeats is read in turn and released after the grace.
    port.send("STOP");
    const std::uint64_t stopRead = passUntil("log:Saver sent STOP; checking display before release");
    EXPECT_EQ(passUntil("restore") - stopRead, DisplayGraceMs);
}

TEST_F(Session, AMessageInTheExpiryPassDoesNotSaveTheSessionNorStartABlock) {
    port.clientWaiting = true;
    pass();
    now += 4100;
    port.send("START");
    pass();
    EXPECT_FALSE(port.has("block"));
    EXPECT_FALSE(port.has("reply:OK"));
    EXPECT_TRUE(port.has("log:Heartbeat expired; checking display before release"));
    EXPECT_FALSE(machine.sessionOpen());

    FakePort p2;
    p2.clock = 1000;
    SessionMachine m2(p2);
    p2.clientWaiting = true;
    p2.send("START");
    m2.pass(1000, DisplayOn, false, 0);
    p2.send("ALIVE");
    m2.pass(5100, DisplayOn, false, 0);
    EXPECT_TRUE(p2.has("log:Heartbeat expired; checking display before release"));
}

TEST_F(Session, ProcessEndIsNoticedOnlyAfterItsQueuedMessages) {
    display = DisplayOn;
    startBlockedSession();
    port.send("ALIVE");
    port.send("STOP");
    port.processEnded = true;
    pass();
    pass();
    EXPECT_TRUE(port.has("log:Saver sent STOP; checking display before release"));
    EXPECT_FALSE(port.has("log:Saver process ended; checking display before release"));
}

TEST(SessionBlock, AFailedBlockRepliesErrorAndReleasesAtOnceHoweverLongItTook) {
    for (const std::uint64_t blockMs : {0u, 5000u}) {
        FakePort port;
        SessionMachine machine(port);
        port.blockMs = blockMs;
        port.blockResult = false;
        port.clientWaiting = true;
        port.send("START");
        machine.pass(port.clock, DisplayUnknown, false, 0);
        EXPECT_EQ(port.actions,
                  (std::vector<std::string>{"admit", "block", "reply:ERROR",
                                            "log:Network blocking failed; checking display before release",
                                            "log:Restoring network: Network blocking failed", "restore", "close",
                                            "disconnect"}))
            << blockMs << " ms";
    }
}

TEST_F(Session, RecoveryRequestDropsTheClientWithoutReply) {
    display = DisplayOn;
    startBlockedSession();
    pass(true, 196616);
    EXPECT_EQ(port.actions, (std::vector<std::string>{"log:Recovery requested; reason code: 196616", "restore", "close",
                                                      "disconnect"}));
    EXPECT_FALSE(machine.sessionOpen());
    EXPECT_FALSE(machine.blocked());
}

TEST_F(Session, RestoreControlWhileIdleRunsOneHarmlessRelease) {
    pass(true, 128);
    EXPECT_EQ(port.actions,
              (std::vector<std::string>{"log:Recovery requested; reason code: 128", "restore"}));
}

TEST_F(Session, DisplayChangesAreLoggedOnce) {
    display = DisplayOn;
    pass();
    pass();
    display = DisplayDimmed;
    pass();
    display = DisplayOff;
    pass();
    EXPECT_EQ(port.actions, (std::vector<std::string>{"log:Console display state: 1", "log:Console display state: 2",
                                                      "log:Console display state: 0"}));
}

TEST_F(Session, LeftOverBlockIsRetriedEveryTwoSecondsAndKeepsThePipeClosed) {
    port.leftBlocked = true;
    port.restoreResult = false;
    port.clientWaiting = true;
    passFor(2000);
    EXPECT_EQ(port.count("restore"), 1);
    pass();  // 2,000 ms after the first try
    EXPECT_EQ(port.count("restore"), 2);
    passFor(2950);
    EXPECT_EQ(port.count("restore"), 3);  // at 0, 2,000 and 4,000 ms
    EXPECT_FALSE(port.has("admit"));
    port.restoreResult = true;
    passFor(2000);
    EXPECT_EQ(port.count("restore"), 4);
    EXPECT_TRUE(port.has("admit"));
}

TEST_F(Session, StopReleasesAHeldBlock) {
    display = DisplayOff;
    startBlockedSession();
    port.processEnded = true;
    pass();
    ASSERT_TRUE(machine.holding());
    port.actions.clear();
    machine.stop();
    EXPECT_EQ(port.actions, (std::vector<std::string>{"log:Service stopping: restoring network.", "restore"}));
    EXPECT_FALSE(machine.holding());
}

TEST_F(Session, StopDuringASessionClosesTheClientProcess) {
    startBlockedSession();
    machine.stop();
    EXPECT_EQ(port.actions,
              (std::vector<std::string>{"log:Service stopping: restoring network.", "restore", "close"}));
    EXPECT_FALSE(machine.sessionOpen());
}

}  // namespace
}  // namespace calmlane
