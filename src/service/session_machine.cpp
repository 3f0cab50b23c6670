#include "service/session_machine.h"

#include <algorithm>

namespace calmlane {

namespace {

bool displayOffOrDimmed(std::uint32_t state) { return state == DisplayOff || state == DisplayDimmed; }


}  // namespace

void SessionMachine::startUp(std::uint64_t now) { release(now); }

void SessionMachine::pass(std::uint64_t now, std::uint32_t displayState, bool restoreRequested,
                          std::uint32_t recoveryReason) {
    if (displayState != lastLoggedDisplay_) {
        port_.log(L"Console display state: " + std::to_wstring(displayState));
        lastLoggedDisplay_ = displayState;
    }
    if (restoreRequested) {
        if (!blocking_) {
            recover(now, displayState, recoveryReason);
            return;
        }
        // Served when the block has returned: a block cannot be cut short half-way.
        recoveryDeferred_ = true;
        deferredReason_ = recoveryReason;
    }
    if (holding_) return;  // only a recovery request or stop ends a hold; the pipe does not listen
    if (blocking_) {
        blockingPass(now, displayState);
    } else if (clientOpen_) {
        sessionPass(now, displayState);
    } else {
        idlePass(now, displayState);
    }
}

Wake SessionMachine::wake(std::uint64_t now) const {
    Wake next;
    if (holding_) return next;
    if (blocking_) {
        next.pipe = !readStopped_;
        next.block = true;
    } else if (clientOpen_ && !queued_.empty()) {
        next.at = now;  // one queued message per pass
    } else if (clientOpen_ && releasePending_) {
        next.at = endTime_ + DisplayGraceMs;
    } else if (clientOpen_) {
        next.pipe = next.client = true;
        next.at = lastMessage_ + HeartbeatTimeoutMs + 1;
    } else if (cleaning_) {
        next.at = nextRestoreTry_;
    } else {
        next.pipe = true;
    }
    return next;
}

void SessionMachine::recover(std::uint64_t now, std::uint32_t displayState, std::uint32_t reason) {
    port_.log(L"Recovery requested; reason code: " + std::to_wstring(reason));
    release(now);
    if (clientOpen_) dropClient();
    blocked_ = releasePending_ = holding_ = false;
    idlePass(now, displayState);
}

void SessionMachine::idlePass(std::uint64_t now, std::uint32_t displayState) {
    // Nothing listens while something is left blocked: a release is tried when its time has come.
    cleaning_ = port_.somethingLeftBlocked() && (now < nextRestoreTry_ || !release(now));
    if (cleaning_) return;
    if (!port_.pollAndAdmit()) return;
    clientOpen_ = true;
    blocked_ = releasePending_ = false;
    lastMessage_ = now;
    sessionPass(now, displayState);
}

void SessionMachine::sessionPass(std::uint64_t now, std::uint32_t displayState) {
    PipeRead read;
    if (queued_.empty()) {
        read = port_.readPipe();
    } else {
        read = std::move(queued_.front());
        queued_.pop_front();
    }
    const bool processEnded = port_.clientProcessEnded();
    const bool heartbeatExpired = now - lastMessage_ > HeartbeatTimeoutMs;

    // The process and the heartbeat decide first; a pipe error counts only while the client lives.
    // An ended process is noticed only once the pipe holds nothing more from it: a saver that wrote
    // "ALIVE" and "STOP" just before exiting ended with "STOP", one message per pass.
    const bool message = read.kind == PipeRead::Kind::Message;
    const bool ended = processEnded && !message;
    bool due = ended || heartbeatExpired;
    std::wstring endReason = ended ? L"Saver process ended" : L"Heartbeat expired";
    // Any failed read, 232 (the pipe is being closed) included, is the end of the pipe.
    if (!due && read.kind == PipeRead::Kind::Error) {
        due = true;
        endReason = L"Pipe closed/error: " + std::to_wstring(read.error);
    }
    if (message) {
        // A message says more than the process state: a saver that wrote "STOP" and exited at once
        // ended with "STOP". A message is a word only when it is exactly that word.
        lastMessage_ = now;
        if (read.text == "START" && !blocked_) {
            // A session already due to end never starts a block.
            if (!due) {
                port_.beginBlock();
                blocking_ = true;
                return;
            }
        } else if (read.text == "ALIVE") {
            // heartbeat only; it does not save a session whose heartbeat already expired
        } else if (read.text == "STOP") {
            due = true;
            endReason = L"Saver sent STOP";
        } else {
            due = true;
            endReason = L"Unexpected pipe command";
        }
    }
    conclude(now, displayState, due, endReason);
}

// While the block runs the pipe is still read, so that the saver's heartbeats never fill it; what
// arrives is kept and taken one per pass once the block has returned.
void SessionMachine::blockingPass(std::uint64_t now, std::uint32_t displayState) {
    const std::optional<bool> outcome = port_.blockOutcome(false);
    if (!outcome) {
        if (readStopped_) return;
        PipeRead read = port_.readPipe();
        const bool failed = read.kind == PipeRead::Kind::Error;
        if (read.kind != PipeRead::Kind::Nothing) queued_.push_back(std::move(read));
        readStopped_ = failed || queued_.size() >= MaxQueuedMessages;
        return;
    }
    blocking_ = false;
    readStopped_ = false;
    port_.reply(*outcome ? "OK" : "ERROR");
    blocked_ = *outcome;
    lastMessage_ = now;  // the heartbeat restarts when the block has returned
    if (recoveryDeferred_) {
        recoveryDeferred_ = false;
        recover(now, displayState, deferredReason_);
        return;
    }
    if (!blocked_) conclude(now, displayState, true, L"Network blocking failed");
}

// The end of a session, once it is due: logged once, then held, kept through the grace, or released.
void SessionMachine::conclude(std::uint64_t now, std::uint32_t displayState, bool due, const std::wstring& endReason) {
    if (due && !releasePending_) {
        endTime_ = now;
        releaseReason_ = endReason;
        port_.log(endReason + L"; checking display before release");
    }
    if (!due && !releasePending_) return;

    if (blocked_ && displayOffOrDimmed(displayState)) {
        port_.log(L"Screen off/dimmed: service retains network block after saver exit/timeout.");
        dropClient();
        holding_ = true;
        releasePending_ = false;
        return;
    }
    if (blocked_ && now - endTime_ < DisplayGraceMs) {
        releasePending_ = true;
        return;
    }
    port_.log(L"Restoring network: " + releaseReason_);
    release(now);
    dropClient();
    blocked_ = releasePending_ = false;
}

// One run of the release procedure; a failure schedules the next try.
bool SessionMachine::release(std::uint64_t now) {
    if (port_.restore()) {
        retryDelay_ = FirstRetryMs;
        return true;
    }
    nextRestoreTry_ = now + retryDelay_;
    retryDelay_ = std::min(retryDelay_ * 2, RestoreRetryMs);
    return false;
}

void SessionMachine::stop() {
    if (blocking_) {
        // The block finishes first; whatever it did is released below.
        port_.blockOutcome(true);
        blocking_ = false;
    }
    port_.log(L"Service stopping: restoring network.");
    port_.restore();
    if (clientOpen_) {
        port_.closeClientProcess();
        clientOpen_ = false;
    }
    blocked_ = releasePending_ = holding_ = false;
}

void SessionMachine::dropClient() {
    port_.closeClientProcess();
    port_.disconnectPipe();
    clientOpen_ = false;
    queued_.clear();
}

}  // namespace calmlane
