// The pause-session loop on a simulated clock: every timing and ordering rule, and what each state waits
// for, without a real pipe; and the event log's filter against repeated lines.
#include "service/session_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "service/repeat_filter.h"

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
    std::uint64_t blockMs = 0;     // how long the block's worker runs (adapters take seconds each)
    std::uint64_t blockEnds = 0;

    void log(const std::wstring& line) override { actions.push_back("log:" + std::string(line.begin(), line.end())); }
    bool pollAndAdmit() override {
        if (!clientWaiting) return false;
        clientWaiting = false;
        actions.push_back("admit");
        return true;
    }
    PipeRead readPipe() override {
        if (reads.empty()) return {};
        PipeRead r = reads.front();
        reads.pop_front();
        return r;
    }
    bool clientProcessEnded() override { return processEnded; }
    void beginBlock() override {
        actions.push_back("block");
        blockEnds = clock + blockMs;
    }
    std::optional<bool> blockOutcome(bool wait) override {
        if (wait) clock = std::max(clock, blockEnds);
        if (clock < blockEnds) return std::nullopt;
        return blockResult;
    }
    void reply(std::string_view text) override { actions.push_back("reply:" + std::string(text)); }
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
    // Admits a client and has it send START, until the block returned; forgets the actions.
    void startBlockedSession() {
        port.clientWaiting = true;
        port.send("START");
        pass();
        pass();
        EXPECT_TRUE(machine.blocked());
        port.actions.clear();
    }
    // The machine's phase, and "blocked" when its block is in force, e.g. "grace blocked".
    std::string flags() const {
        static const char* const phases[] = {"idle", "cleaning", "session", "blocking", "grace", "holding"};
        return std::string(phases[static_cast<int>(machine.phase())]) + (machine.blocked() ? " blocked" : "");
    }
};

class Session : public ::testing::Test, public Loop {};

// How a session ends. Whatever ends it is logged once; a blocked session is released 2 s later unless the
// display is off or dimmed then or during the grace (a hold); a session that never blocked is released at
// once. Without any display report (a failed subscription, or Wine) the display counts as on. A client that
// does not ask within 2 s of its admission is dropped, whatever else it sends.
TEST(SessionEnd, EveryEndIsReleasedOnceAfterItsGraceOrHeldWhileTheDisplayIsDark) {
    enum class By { Message, ProcessEnd, PipeError };
    const struct {
        const char* what;
        bool blocked;           // START was answered before the end
        std::uint32_t display;  // at the end
        bool darkInGrace;       // the display goes off 1 s after the end
        By by;
        std::string message;
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
        {"process ended before START", false, DisplayOn, false, By::ProcessEnd, "", 0, "Saver process ended", 0},
        {"START read after the process ended", false, DisplayOn, false, By::ProcessEnd, "START", 0,
         "Saver process ended", 0},
        {"only ALIVE, no START", false, DisplayOn, false, By::Message, "ALIVE", 0, "No START from the client", 1950},
        {"lower-case start", false, DisplayUnknown, false, By::Message, "start", 0, "Unexpected pipe command", 0},
        {"START, a zero byte and more", false, DisplayOn, false, By::Message, std::string("START\0junk", 10), 0,
         "Unexpected pipe command", 0},
        {"ALIVE and a space", false, DisplayUnknown, false, By::Message, "ALIVE ", 0, "Unexpected pipe command", 0},
        {"pipe error 234", false, DisplayUnknown, false, By::PipeError, "", 234, "Pipe closed/error: 234", 0},
        {"pipe error 109", false, DisplayUnknown, false, By::PipeError, "", 109, "Pipe closed/error: 109", 0},
        {"pipe error 232", false, DisplayUnknown, false, By::PipeError, "", 232, "Pipe closed/error: 232", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Loop loop;
        FakePort& port = loop.port;
        port.clientWaiting = true;
        if (row.blocked) port.send("START");
        for (int i = 0; i < (row.blocked ? 2 : 1); ++i) loop.machine.pass(port.clock += 10, row.display, false, 0);
        ASSERT_EQ(loop.machine.blocked(), row.blocked);
        port.actions.clear();
        if (!row.message.empty()) port.send(row.message);
        if (row.by == By::PipeError) port.fail(row.error);
        port.processEnded = row.by == By::ProcessEnd;

        const std::uint64_t end = port.clock + 50;
        int releasedAfter = -1, heldAfter = -1;
        for (std::uint64_t now = end; now <= end + 10000; now += 50) {
            const bool dark = row.darkInGrace && now >= end + 1000;
            loop.machine.pass(now, dark ? DisplayOff : row.display, false, 0);
            if (now == end && row.blocked && row.releasedAfterMs > 0) {
                EXPECT_EQ(loop.flags(), "grace blocked");
            }
            if (releasedAfter < 0 && port.has("restore")) releasedAfter = static_cast<int>(now - end);
            if (heldAfter < 0 && loop.machine.phase() == Phase::Holding) heldAfter = static_cast<int>(now - end);
        }
        EXPECT_EQ(releasedAfter, row.releasedAfterMs);
        EXPECT_EQ(heldAfter, row.heldAfterMs);
        const bool held = row.releasedAfterMs < 0;
        const std::string darkening = row.darkInGrace ? "log:Console display state: 0, " : "";
        EXPECT_EQ(port.take(), ending(row.reason) + ", " + (held ? darkening + Hold : release(row.reason)) +
                                   ", close, disconnect");
        EXPECT_EQ(loop.flags(), held ? "holding blocked" : "idle");
    }
}

// What each state waits for: the pipe while listening and in a session, the client's process in a session,
// the worker while blocking, and the deadlines of the heartbeat, the grace and the release retries. Idle
// and holding, nothing but a control or a stop wakes the service.
TEST_F(Session, EachStateWaitsForWhatCanChangeItAndForItsDeadline) {
    constexpr std::uint64_t Never = Wake::Never;
    const auto waits = [&](const char* state, bool pipe, bool client, bool block, std::uint64_t in) {
        const Wake wake = machine.wake(now);
        EXPECT_TRUE(wake == (Wake{pipe, client, block, in == Never ? Never : now + in}))
            << state << ": " << wake.pipe << wake.client << wake.block << " in " << wake.at - now;
    };
    waits("listening", true, false, false, Never);
    port.clientWaiting = true;
    pass();
    waits("admitted", true, true, false, StartTimeoutMs - 50);
    port.blockMs = 100;
    port.send("START");
    pass();
    waits("blocking", true, false, true, Never);
    port.send("ALIVE");
    pass();
    pass();
    waits("a message queued during the block", false, false, false, 0);
    pass();
    waits("blocked", true, true, false, HeartbeatTimeoutMs + 1 - 50);
    port.send("STOP");
    pass();
    waits("grace", false, false, false, DisplayGraceMs - 50);
    // A failed block's "ERROR", unread: the client keeps the pipe for a second, also while a release is retried.
    for (const bool released : {true, false}) {
        Loop failed;
        failed.port.blockResult = false;
        failed.port.restoreResult = released;
        failed.port.clientWaiting = true;
        failed.port.send("START");
        failed.pass();
        failed.pass();
        const std::uint64_t in = released ? ReplyReadMs : Backoff::FirstMs;
        EXPECT_TRUE(failed.machine.wake(failed.now) == (Wake{true, false, false, failed.now - 50 + in})) << released;
    }
    display = DisplayOff;
    pass();
    waits("holding", false, false, false, Never);
    port.leftBlocked = true;
    port.restoreResult = false;
    pass(true, 128);
    waits("a failed release", false, false, false, Backoff::FirstMs - 50);
    port.restoreResult = true;
    port.clientWaiting = true;
    port.blockMs = 9000;
    port.send("START");
    pass();
    port.fail(109);
    pass();
    waits("blocking, the pipe failed", false, false, true, Never);
    display = DisplayOn;
    passFor(12000);  // the block returns, the failed read ends the session, the grace runs out
    ASSERT_EQ(flags(), "idle");
    port.blockMs = 60000;
    port.clientWaiting = true;
    port.send("START");
    pass();
    for (std::size_t i = 0; i < MaxQueuedMessages; ++i) port.send("ALIVE");
    waits("blocking again, the pipe read", true, false, true, Never);
    for (std::size_t i = 1; i < MaxQueuedMessages; ++i) pass();
    waits("blocking, one message before the queue is full", true, false, true, Never);
    pass();
    waits("blocking, the queue full", false, false, true, Never);
}

// The deadlines the machine gives are exact: a pass 1 ms before one changes nothing, a pass at it acts.
TEST_F(Session, DeadlinesAreExact) {
    port.clientWaiting = true;
    pass();
    const std::uint64_t expiry = machine.wake(now).at;  // 2,000 ms after admission
    machine.pass(expiry - 1, display, false, 0);
    EXPECT_EQ(flags(), "session");
    machine.pass(expiry, display, false, 0);
    EXPECT_EQ(flags(), "idle");  // no START in time: released at once, nothing was blocked
    // A block of 5 s with nothing read meanwhile: the heartbeat counts from its return, 4,001 ms.
    now = expiry + 50;
    port.blockMs = 5000;
    port.clientWaiting = true;
    port.send("START");
    passFor(5050);
    const std::uint64_t heartbeat = machine.wake(now).at;
    EXPECT_EQ(heartbeat, now - 50 + HeartbeatTimeoutMs + 1);
    machine.pass(heartbeat - 1, display, false, 0);
    EXPECT_EQ(flags(), "session blocked");
    now = heartbeat - 1;
    port.send("STOP");
    pass();
    const std::uint64_t release = machine.wake(now).at;  // 2,000 ms after "STOP"
    machine.pass(release - 1, display, false, 0);
    EXPECT_EQ(flags(), "grace blocked");
    machine.pass(release, display, false, 0);
    EXPECT_EQ(flags(), "idle");
}

// A reply is never thrown away by the disconnect that follows it: after a failed block, or a recovery asked
// for while the block ran, the network is released at once but the client keeps the pipe until it has read
// the reply (it writes again) or closed it, or 1 s after the reply. What it sent during the block goes with
// it: the next client's session starts afresh.
TEST(SessionReply, TheClientKeepsThePipeUntilItHasReadTheReply) {
    const PipeRead alive{PipeRead::Kind::Message, "ALIVE", 0}, closed{PipeRead::Kind::Error, "", 109};
    const std::string failed = ending("Network blocking failed") + ", " + release("Network blocking failed");
    const struct {
        const char* what;
        bool blocks;
        std::uint32_t recovery;  // asked for while the block runs
        std::optional<PipeRead> then;  // from the client, 200 ms after the reply
        std::string released;
        std::uint64_t disconnectedAfterMs;
    } rows[] = {
        {"ERROR, read", false, 0, alive, failed, 200},
        {"ERROR, the client closes", false, 0, closed, failed, 200},
        {"ERROR, never read", false, 0, std::nullopt, failed, ReplyReadMs},
        {"OK, then the display came on", true, 65536, alive, "log:Recovery requested; reason code: 65536, restore",
         200},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Loop loop;
        loop.port.blockMs = 100;
        loop.port.blockResult = row.blocks;
        loop.port.clientWaiting = true;
        loop.port.send("START");
        loop.pass();
        loop.port.send("STOP");
        loop.pass(row.recovery != 0, row.recovery);
        for (int i = 0; i < 10 && !loop.port.has(row.blocks ? "reply:OK" : "reply:ERROR"); ++i) loop.pass();
        const std::uint64_t replied = loop.now - 50;
        EXPECT_EQ(loop.port.take(), std::string("admit, block, reply:") + (row.blocks ? "OK, " : "ERROR, ") +
                                        row.released + ", close");
        while (!loop.port.has("disconnect") && loop.now < replied + 5000) {
            if (row.then && loop.now == replied + 200) loop.port.reads.push_back(*row.then);
            loop.pass();
        }
        EXPECT_EQ(loop.now - 50 - replied, row.disconnectedAfterMs);
        EXPECT_EQ(loop.flags(), "idle");
        loop.port.take();
        loop.port.clientWaiting = true;
        loop.pass();
        EXPECT_EQ(loop.port.take(), "admit");
    }
}

// A release that fails keeps the pipe from listening and is tried again after 50 ms, then twice as late
// each time up to every 2 s; the first success lets the pipe listen at once.
TEST_F(Session, AFailedReleaseIsRetriedWithABackOffAndKeepsThePipeClosed) {
    port.leftBlocked = true;
    port.restoreResult = false;
    port.clientWaiting = true;
    const std::uint64_t start = now;
    std::vector<std::uint64_t> tries;
    for (int i = 0; i < 9; ++i) {
        tries.push_back(now - start);
        machine.pass(now, display, false, 0);
        EXPECT_EQ(port.take(), "restore");
        EXPECT_FALSE(machine.wake(now).pipe);
        now = machine.wake(now).at;
    }
    EXPECT_EQ(tries, (std::vector<std::uint64_t>{0, 50, 150, 350, 750, 1550, 3150, 5150, 7150}));
    port.restoreResult = true;
    machine.pass(now, display, false, 0);
    EXPECT_EQ(port.take(), "restore, admit");
    // A success starts the back-off afresh.
    port.leftBlocked = true;
    port.restoreResult = false;
    pass(true, 128);
    EXPECT_EQ(machine.wake(now).at, now - 50 + Backoff::FirstMs);
}

// A stop waits for a running block, then logs, releases and lets the client go, held or not.
TEST(SessionStop, WaitsForARunningBlockThenReleases) {
    for (const bool held : {false, true}) {
        Loop loop;
        loop.port.blockMs = held ? 0 : 9000;
        loop.display = DisplayOff;
        loop.port.clientWaiting = true;
        loop.port.send("START");
        loop.pass();
        loop.port.processEnded = held;
        loop.passFor(100);
        ASSERT_EQ(loop.flags(), held ? "holding blocked" : "blocking") << held;
        loop.port.actions.clear();
        loop.machine.stop();
        EXPECT_GE(loop.port.clock, loop.port.blockEnds);  // waited for the block
        EXPECT_EQ(loop.port.take(), "log:Service stopping: restoring network., restore, close");
    }
}

// Lines that alternate (two pending adapters, refused and accepted knocks) are each limited too.
TEST(ServiceLog, TheEventLogTakesEachRecentLineOnceAMinute) {
    const struct {
        std::uint64_t at;
        const wchar_t* line;
        bool admitted;
    } rows[] = {
        {1000, L"Rejected client executable path.", true},
        {1100, L"Rejected client executable path.", false},
        {60999, L"Rejected client executable path.", false},
        {61000, L"Rejected client executable path.", true},  // a minute after the last admitted copy
        {62000, L"Adapter restoration pending: A", true},
        {62001, L"Adapter restoration pending: B", true},
        {64000, L"Adapter restoration pending: A", false},
        {64001, L"Adapter restoration pending: B", false},
        {64002, L"Rejected client executable path.", false},  // not the previous line, but a recent one
        {64003, L"", true},
        {64004, L"", false},
        {122000, L"Adapter restoration pending: A", true},
    };
    RepeatFilter filter;
    for (const auto& row : rows) EXPECT_EQ(filter.admit(row.line, row.at), row.admitted) << row.at;
    // The 32 lines admitted last are remembered, even within the minute: 31 others later the first still
    // counts, one more and it is forgotten.
    for (int i = 0; i < 31; ++i) filter.admit(std::to_wstring(i), 122001);
    EXPECT_FALSE(filter.admit(L"Adapter restoration pending: A", 122002));
    filter.admit(L"31", 122003);
    EXPECT_TRUE(filter.admit(L"Adapter restoration pending: A", 122004));
}

}  // namespace
}  // namespace calmlane
