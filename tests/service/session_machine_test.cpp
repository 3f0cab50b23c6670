// The pause-session loop on a simulated clock: every timing and ordering rule, and what each state waits
// for, without a real pipe; and the event log's filter against repeated lines.
#include "service/session_machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
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
    bool blockRunning = false;

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
        blockRunning = true;
        blockEnds = clock + blockMs;
    }
    std::optional<bool> blockOutcome(bool wait) override {
        if (wait) clock = std::max(clock, blockEnds);
        if (clock < blockEnds) return std::nullopt;
        blockRunning = false;
        return blockResult;
    }
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
    // Admits a client and has it send START, until the block returned; forgets the actions.
    void startBlockedSession() {
        port.clientWaiting = true;
        port.send("START");
        pass();
        pass();
        EXPECT_TRUE(machine.blocked());
        port.actions.clear();
    }
    // The machine's flags that are set, e.g. "open blocked".
    std::string flags() const {
        const std::pair<bool, const char*> all[] = {{machine.sessionOpen(), "open"},
                                                    {machine.blocked(), "blocked"},
                                                    {machine.blocking(), "blocking"},
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
    waits("admitted", true, true, false, HeartbeatTimeoutMs + 1 - 50);
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
    display = DisplayOff;
    pass();
    waits("holding", false, false, false, Never);
    port.leftBlocked = true;
    port.restoreResult = false;
    pass(true, 128);
    waits("a failed release", false, false, false, FirstRetryMs - 50);
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
    ASSERT_EQ(flags(), "");
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
    const std::uint64_t expiry = machine.wake(now).at;  // 4,001 ms after admission
    machine.pass(expiry - 1, display, false, 0);
    EXPECT_EQ(flags(), "open");
    machine.pass(expiry, display, false, 0);
    EXPECT_EQ(flags(), "");  // expired, and released at once: nothing was blocked
    now = expiry + 50;
    startBlockedSession();
    port.send("STOP");
    pass();
    const std::uint64_t release = machine.wake(now).at;  // 2,000 ms after "STOP"
    machine.pass(release - 1, display, false, 0);
    EXPECT_EQ(flags(), "open blocked pending");
    machine.pass(release, display, false, 0);
    EXPECT_EQ(flags(), "");
}

// An 18-second block (two adapters of 9 s): the saver's "ALIVE" every 600 ms is read meanwhile, taken one
// per pass once the block returns, and the session holds until "STOP". A recovery request that came during
// the block is served once it has returned.
TEST_F(Session, ALongBlockKeepsItsSessionAndDefersARecoveryRequest) {
    display = DisplayOn;
    port.blockMs = 18000;
    port.clientWaiting = true;
    port.send("START");
    pass();
    for (int i = 0; i < 29; ++i) {
        passFor(600);
        port.send("ALIVE");
    }
    EXPECT_EQ(port.take(), "log:Console display state: 1, admit, block");
    EXPECT_LE(port.reads.size(), 1u);  // read as they came
    passFor(3000);
    EXPECT_EQ(port.take(), "reply:OK");
    EXPECT_EQ(flags(), "open blocked");
    port.send("STOP");
    const std::uint64_t stopRead = passUntil(ending("Saver sent STOP"));
    EXPECT_EQ(passUntil("restore") - stopRead, DisplayGraceMs);

    port.actions.clear();
    port.clientWaiting = true;
    port.send("START");
    pass();
    pass(true, 196616);
    port.send("STOP");  // read during the block, and dropped with its client
    EXPECT_EQ(port.take(), "admit, block");
    passFor(18000);
    EXPECT_EQ(port.take(), "reply:OK, log:Recovery requested; reason code: 196616, restore, close, disconnect");
    EXPECT_EQ(flags(), "");
    // The next session starts afresh: nothing queued, no recovery left over.
    port.blockMs = 0;
    startBlockedSession();
    passFor(1000);
    EXPECT_EQ(port.take(), "");
    EXPECT_EQ(flags(), "open blocked");
}

TEST(SessionBlock, AFailedBlockRepliesErrorAndReleasesAtOnceHoweverLongItTook) {
    for (const std::uint64_t blockMs : {0u, 5000u}) {
        Loop loop;
        loop.port.blockMs = blockMs;
        loop.port.blockResult = false;
        loop.port.clientWaiting = true;
        loop.port.send("START");
        loop.pass();
        EXPECT_EQ(loop.port.take(), "admit, block");
        loop.passUntil("reply:ERROR");
        EXPECT_EQ(loop.port.take(), "reply:ERROR, " + ending("Network blocking failed") + ", " +
                                        release("Network blocking failed") + ", close, disconnect")
            << blockMs << " ms";
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
    EXPECT_EQ(machine.wake(now).at, now - 50 + FirstRetryMs);
}

TEST_F(Session, StopWaitsForARunningBlockAndReleasesASessionOrAHold) {
    port.blockMs = 9000;
    port.clientWaiting = true;
    port.send("START");
    pass();
    port.actions.clear();
    machine.stop();
    EXPECT_FALSE(port.blockRunning);
    EXPECT_EQ(port.take(), "log:Service stopping: restoring network., restore, close");
    EXPECT_EQ(flags(), "");

    port.blockMs = 0;
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
