#pragma once
// The service's pause-session loop as a state machine. A pass runs whenever something the loop waits
// for happens (the pipe, the client process, the block's worker, a control, a deadline); it is fed the
// current tick, the console display state and any recovery request, and everything it does to the
// outside world (pipe, block, release, log) goes through the port, so tests drive it with a simulated
// clock and a fake port. `wake` says what the next pass waits for. No Windows headers here.
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

namespace calmlane {

inline constexpr std::uint32_t DisplayOff = 0;
inline constexpr std::uint32_t DisplayOn = 1;
inline constexpr std::uint32_t DisplayDimmed = 2;
inline constexpr std::uint32_t DisplayUnknown = 0xFFFFFFFF;

inline constexpr std::uint64_t HeartbeatTimeoutMs = 4000;
inline constexpr std::uint64_t DisplayGraceMs = 2000;
// A failed release is tried again after 50 ms, then after twice as long each time, at most every 2 s.
inline constexpr std::uint64_t FirstRetryMs = 50;
inline constexpr std::uint64_t RestoreRetryMs = 2000;
// Messages kept while the block runs; a saver sends one every 600 ms, so this covers minutes of blocking.
inline constexpr std::size_t MaxQueuedMessages = 256;

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
    virtual void reply(const char* text) = 0;
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
    bool pipe = false;    // the pipe: its listen while idle, its read while a session is open
    bool client = false;  // the admitted client's process handle
    bool block = false;   // the block's worker
    std::uint64_t at = Never;  // the tick of the next deadline
    bool operator==(const Wake&) const = default;
};

class SessionMachine {
public:
    explicit SessionMachine(SessionPort& port) : port_(port) {}

    // The release at start-up, before the pipe exists: undoes a block left by a crash or a power loss.
    void startUp(std::uint64_t now);
    // One pass. restoreRequested/recoveryReason were taken from the control handler.
    void pass(std::uint64_t now, std::uint32_t displayState, bool restoreRequested, std::uint32_t recoveryReason);
    // What the pass after `now` waits for.
    Wake wake(std::uint64_t now) const;
    // The stop procedure's share: waits for a block that is running, logs, releases, drops the client
    // (the pipe itself is closed by the host).
    void stop();

    bool sessionOpen() const { return clientOpen_; }
    bool blocked() const { return blocked_; }
    bool blocking() const { return blocking_; }
    bool holding() const { return holding_; }
    bool releasePending() const { return releasePending_; }

private:
    void recover(std::uint64_t now, std::uint32_t displayState, std::uint32_t reason);
    void idlePass(std::uint64_t now, std::uint32_t displayState);
    void sessionPass(std::uint64_t now, std::uint32_t displayState);
    void blockingPass(std::uint64_t now, std::uint32_t displayState);
    void conclude(std::uint64_t now, std::uint32_t displayState, bool due, const std::wstring& endReason);
    bool release(std::uint64_t now);
    void dropClient();

    SessionPort& port_;
    bool clientOpen_ = false;
    bool blocked_ = false;
    bool blocking_ = false;
    bool releasePending_ = false;
    bool holding_ = false;
    bool readStopped_ = false;   // while blocking: the queue is full or the pipe failed
    bool recoveryDeferred_ = false;
    std::uint32_t deferredReason_ = 0;
    std::deque<PipeRead> queued_;  // read while the block ran, taken one per pass afterwards
    std::uint64_t lastMessage_ = 0;
    std::uint64_t endTime_ = 0;
    std::wstring releaseReason_;
    bool cleaning_ = false;  // something is left blocked: no listening until a release succeeds
    std::uint64_t nextRestoreTry_ = 0;
    std::uint64_t retryDelay_ = FirstRetryMs;
    std::uint32_t lastLoggedDisplay_ = DisplayUnknown;
};

}  // namespace calmlane
