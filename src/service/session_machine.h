#pragma once
// The service's pause-session loop as a state machine. A pass runs whenever something the loop waits
// for happens (the pipe, the client process, the block's worker, a control, a deadline); it is fed the
// current tick, the console display state and any recovery request, and everything it does to the
// outside world (pipe, block, release, log) goes through the port, so tests drive it with a simulated
// clock and a model of the world. `wake` says what the next pass waits for. No Windows headers here.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace calmlane {

inline constexpr std::uint32_t DisplayOff = 0;
inline constexpr std::uint32_t DisplayOn = 1;
inline constexpr std::uint32_t DisplayDimmed = 2;
inline constexpr std::uint32_t DisplayUnknown = 0xFFFFFFFF;

inline constexpr std::uint64_t HeartbeatTimeoutMs = 4000;
inline constexpr std::uint64_t DisplayGraceMs = 2000;
// Admission checks the client's image, not the code it runs: an admitted client that does not ask for the
// pause this soon is dropped, so that nobody holds the pipe without asking.
inline constexpr std::uint64_t StartTimeoutMs = 2000;
// A disconnect throws away what the client has not read. After a session that ended soon after its reply,
// the pipe stays connected until the client has read it (its next message, a saver's next step) or closed
// it, at most this long after the reply: a saver that never sees its "OK" or "ERROR" cannot tell a loss
// from a refusal.
inline constexpr std::uint64_t ReplyReadMs = 1000;
// Messages kept while the block runs; a saver sends one every 600 ms, so this covers minutes of blocking.
inline constexpr std::size_t MaxQueuedMessages = 256;

// The wait after a failure: 50 ms, then twice as long after each further failure, at most 2 s. The loop's
// failed waits and passes and the release retries both back off this way.
class Backoff {
public:
    static constexpr std::uint64_t FirstMs = 50;
    static constexpr std::uint64_t LongestMs = 2000;
    // The wait before the next try; the one after it is twice as long.
    std::uint64_t next();
    void reset() { delay_ = FirstMs; }
    std::uint64_t delay() const { return delay_; }

private:
    std::uint64_t delay_ = FirstMs;
};

// One read of the pipe that does not wait.
struct PipeRead {
    enum class Kind { Nothing, Message, Error } kind = Kind::Nothing;
    std::string text;          // Message: its bytes, exactly as sent
    unsigned long error = 0;   // Error: the read's error code
};

class SessionPort {
public:
    virtual ~SessionPort() = default;
    virtual void log(const std::wstring& line) = 0;
    // Listens when it is not listening yet, and admits a client that has connected; true when a client
    // was admitted. A refused client is disconnected and the pipe listens again at once.
    virtual bool pollAndAdmit() = 0;
    virtual PipeRead readPipe() = 0;
    virtual bool clientProcessEnded() = 0;
    // The block on "START" (mode checks, blocking, NetworkState), on a worker: disabling adapters takes
    // seconds per adapter, and the pipe must be read meanwhile.
    virtual void beginBlock() = 0;
    // The block's result once it has returned (true: in force); nothing while it runs, unless `wait`.
    virtual std::optional<bool> blockOutcome(bool wait) = 0;
    virtual void reply(std::string_view text) = 0;
    // The release procedure; true when nothing is left blocked.
    virtual bool restore() = 0;
    // Whether a firewall engine is open or the adapter journal still lists devices.
    virtual bool somethingLeftBlocked() = 0;
    virtual void closeClientProcess() = 0;
    virtual void disconnectPipe() = 0;
};

// What the next pass waits for, besides the stop request and the control handler's wake-up.
struct Wake {
    static constexpr std::uint64_t Never = ~std::uint64_t{0};
    bool pipe = false;    // the pipe: its listen while idle, the client's read in a session or after it
    bool client = false;  // the admitted client's process handle
    bool block = false;   // the block's worker
    std::uint64_t at = Never;  // the tick of the next deadline
    bool operator==(const Wake&) const = default;
};

// Where the loop stands. Idle: listening. Cleaning: something is left blocked and a release retry is due
// at its time; nothing listens. Session: a client is admitted (and blocked once its "START" succeeded).
// Blocking: the block's worker runs. Grace: the session has ended with the block in force and the display
// on; released when the grace runs out. Holding: the session ended while the display was dark; only a
// recovery request or a stop ends it.
enum class Phase { Idle, Cleaning, Session, Blocking, Grace, Holding };

// Everything the machine keeps between passes: what the explorer hashes.
struct SessionState {
    Phase phase = Phase::Idle;
    bool blocked = false;                          // this session's block is in force
    std::optional<std::uint32_t> deferredRecovery;  // asked for while blocking: served when the block returns
    bool readStopped = false;                      // while blocking: the queue is full or the pipe failed
    // Read while the block ran, taken one per pass afterwards: a few hundred at most, none most of the time.
    std::vector<PipeRead> queued;
    std::uint64_t admittedAt = 0;
    std::uint64_t lastMessage = 0;
    std::uint64_t endTime = 0;
    std::wstring releaseReason;
    std::optional<std::uint64_t> replyAt;     // the last reply, while the client has sent nothing since
    std::optional<std::uint64_t> partingUntil;  // the ended session's client keeps the pipe to read its reply
    std::uint64_t nextRestoreTry = 0;
    Backoff retry;
    std::uint32_t lastLoggedDisplay = DisplayUnknown;
};

class SessionMachine {
public:
    explicit SessionMachine(SessionPort& port) : port_(&port) {}
    // The same state over another port: the explorer copies machines to follow each branch.
    SessionMachine(const SessionMachine& other, SessionPort& port) : SessionMachine(other) { port_ = &port; }

    // The release at start-up, before the pipe exists: undoes a block left by a crash or a power loss.
    void startUp(std::uint64_t now);
    // One pass. restoreRequested/recoveryReason were taken from the control handler.
    void pass(std::uint64_t now, std::uint32_t displayState, bool restoreRequested, std::uint32_t recoveryReason);
    // What the pass after `now` waits for.
    Wake wake(std::uint64_t now) const;
    // The stop procedure's share: waits for a block that is running, logs, releases, lets the client's
    // process go (the pipe itself is closed by the host). The machine is not used after it.
    void stop();

    Phase phase() const { return s_.phase; }
    bool blocked() const { return s_.blocked; }
    // A client's pause is held (its session, block, grace or hold): session changes of its session count.
    bool holdsPause() const { return s_.phase >= Phase::Session; }
    const SessionState& state() const { return s_; }

private:
    SessionMachine(const SessionMachine&) = default;

    void recover(std::uint64_t now, std::uint32_t displayState, std::uint32_t reason);
    void idlePass(std::uint64_t now, std::uint32_t displayState);
    void sessionPass(std::uint64_t now, std::uint32_t displayState);
    void blockingPass(std::uint64_t now, std::uint32_t displayState);
    void conclude(std::uint64_t now, std::uint32_t displayState, bool due, const std::wstring& endReason);
    bool release(std::uint64_t now);
    void dropClient();
    bool pipeFree(std::uint64_t now);

    SessionPort* port_;
    SessionState s_;
};

}  // namespace calmlane
