#pragma once
// The service's pause-session loop as a state machine. Each 50 ms pass is fed the current tick, the
// console display state and any recovery request; everything it does to the outside world (pipe,
// block, release, log) goes through the port, so tests drive it with a simulated clock and a fake port.
// No Windows headers here.
#include <cstdint>
#include <string>

namespace calmlane {

inline constexpr std::uint32_t DisplayOff = 0;
inline constexpr std::uint32_t DisplayOn = 1;
inline constexpr std::uint32_t DisplayDimmed = 2;
inline constexpr std::uint32_t DisplayUnknown = 0xFFFFFFFF;

inline constexpr std::uint64_t HeartbeatTimeoutMs = 4000;
inline constexpr std::uint64_t DisplayGraceMs = 2000;
inline constexpr std::uint64_t RestoreRetryMs = 2000;

// One non-blocking read of the pipe.
struct PipeRead {
    enum class Kind { Nothing, Message, Error } kind = Kind::Nothing;
    std::string text;          // Message: the bytes before the first zero byte
    unsigned long error = 0;   // Error: the read's error code
};

class SessionPort {
public:
    virtual ~SessionPort() = default;
    virtual void log(const std::wstring& line) = 0;
    // Non-blocking poll of the pipe plus the admission check; true when a client was admitted.
    virtual bool pollAndAdmit() = 0;
    virtual PipeRead readPipe() = 0;
    virtual bool clientProcessEnded() = 0;
    // The block on "START" (mode checks, blocking, NetworkState); true when the block is in force.
    // Disabling adapters is synchronous and may take seconds per adapter.
    virtual bool block() = 0;
    // The tick count now: read again after the block, whose duration must not count against the heartbeat.
    virtual std::uint64_t tick() = 0;
    virtual void reply(const char* text) = 0;
    // The release procedure; true when nothing is left blocked.
    virtual bool restore() = 0;
    // Whether a firewall engine is open or the adapter journal still lists devices.
    virtual bool somethingLeftBlocked() = 0;
    virtual void closeClientProcess() = 0;
    virtual void disconnectPipe() = 0;
};

class SessionMachine {
public:
    explicit SessionMachine(SessionPort& port) : port_(port) {}

    // One loop pass after the 50 ms wait. restoreRequested/recoveryReason were taken from the control handler.
    void pass(std::uint64_t now, std::uint32_t displayState, bool restoreRequested, std::uint32_t recoveryReason);
    // The stop procedure's share: log, release, drop the client (the pipe itself is closed by the host).
    void stop();

    bool sessionOpen() const { return clientOpen_; }
    bool blocked() const { return blocked_; }
    bool holding() const { return holding_; }
    bool releasePending() const { return releasePending_; }

private:
    void idlePass(std::uint64_t now, std::uint32_t displayState);
    void sessionPass(std::uint64_t now, std::uint32_t displayState);
    void dropClient();

    SessionPort& port_;
    bool clientOpen_ = false;
    bool blocked_ = false;
    bool releasePending_ = false;
    bool holding_ = false;
    std::uint64_t lastMessage_ = 0;
    std::uint64_t endTime_ = 0;
    std::wstring releaseReason_;
    bool restoreTried_ = false;  // the first retry is immediate
    std::uint64_t lastRestoreTry_ = 0;
    std::uint32_t lastLoggedDisplay_ = DisplayUnknown;
};

}  // namespace calmlane
