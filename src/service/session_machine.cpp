#include "service/session_machine.h"

#include <algorithm>
#include <utility>

#include "protocol/pipe_protocol.h"

namespace calmlane {

namespace {

bool displayOffOrDimmed(std::uint32_t state) { return state == DisplayOff || state == DisplayDimmed; }

}  // namespace

std::uint64_t Backoff::next() {
    const std::uint64_t wait = delay_;
    delay_ = std::min(delay_ * 2, LongestMs);
    return wait;
}

void SessionMachine::startUp(std::uint64_t now) {
    if (!release(now)) s_.phase = Phase::Cleaning;
}

void SessionMachine::pass(std::uint64_t now, std::uint32_t displayState, bool restoreRequested,
                          std::uint32_t recoveryReason) {
    if (displayState != s_.lastLoggedDisplay) {
        port_->log(L"Console display state: " + std::to_wstring(displayState));
        s_.lastLoggedDisplay = displayState;
    }
    if (restoreRequested) {
        // Served when the block has returned: a block cannot be cut short half-way.
        if (s_.phase == Phase::Blocking) {
            s_.deferredRecovery = recoveryReason;
        } else {
            recover(now, displayState, recoveryReason);
            return;
        }
    }
    switch (s_.phase) {
    case Phase::Idle:
    case Phase::Cleaning:
        idlePass(now, displayState);
        break;
    case Phase::Session:
        sessionPass(now, displayState);
        break;
    case Phase::Blocking:
        blockingPass(now, displayState);
        break;
    case Phase::Grace:
        conclude(now, displayState, true, s_.releaseReason);
        break;
    case Phase::Holding:
        pipeFree(now);  // only a recovery request or stop ends a hold; the pipe does not listen
        break;
    }
}

Wake SessionMachine::wake(std::uint64_t now) const {
    Wake next;
    switch (s_.phase) {
    case Phase::Idle:
        next.pipe = true;
        break;
    case Phase::Cleaning:
        next.at = s_.nextRestoreTry;
        break;
    case Phase::Session:
        if (!s_.queued.empty()) {
            next.at = now;  // one queued message per pass
            break;
        }
        next.pipe = next.client = true;
        next.at = s_.lastMessage + HeartbeatTimeoutMs + 1;
        if (!s_.blocked) next.at = std::min(next.at, s_.admittedAt + StartTimeoutMs);
        break;
    case Phase::Blocking:
        next.pipe = !s_.readStopped;
        next.block = true;
        break;
    case Phase::Grace:
        next.at = s_.endTime + DisplayGraceMs;
        break;
    case Phase::Holding:
        break;
    }
    if (s_.partingUntil) {
        next.pipe = true;
        next.at = std::min(next.at, *s_.partingUntil);
    }
    return next;
}

void SessionMachine::recover(std::uint64_t now, std::uint32_t displayState, std::uint32_t reason) {
    port_->log(L"Recovery requested; reason code: " + std::to_wstring(reason));
    release(now);
    if (s_.phase == Phase::Session || s_.phase == Phase::Grace) dropClient();
    s_.blocked = false;
    idlePass(now, displayState);  // a failed release makes it Cleaning
}

void SessionMachine::idlePass(std::uint64_t now, std::uint32_t displayState) {
    const bool free = pipeFree(now);
    // Nothing listens while something is left blocked: a release is tried when its time has come.
    if (port_->somethingLeftBlocked() && (now < s_.nextRestoreTry || !release(now))) {
        s_.phase = Phase::Cleaning;
        return;
    }
    s_.phase = Phase::Idle;
    if (!free || !port_->pollAndAdmit()) return;
    s_.phase = Phase::Session;  // not blocked: every way out of a session leaves that so
    s_.admittedAt = s_.lastMessage = now;
    sessionPass(now, displayState);
}

void SessionMachine::sessionPass(std::uint64_t now, std::uint32_t displayState) {
    const bool fromQueue = !s_.queued.empty();
    PipeRead read;
    if (fromQueue) {
        read = std::move(s_.queued.front());
        s_.queued.erase(s_.queued.begin());
    } else {
        read = port_->readPipe();
    }
    const bool processEnded = port_->clientProcessEnded();
    const bool message = read.kind == PipeRead::Kind::Message;
    // A message read now was written after the client's last read: it has seen the reply. Messages kept
    // while blocking were written before it.
    if (message && !fromQueue) s_.replyAt.reset();

    // The process, the missing "START" and the heartbeat decide first; a pipe error counts only while the
    // client lives. An ended process is noticed only once the pipe holds nothing more from it: a saver
    // that wrote "ALIVE" and "STOP" just before exiting ended with "STOP", one message per pass. Not so a
    // "START": the pause of a process that has ended is never begun.
    const bool ended = processEnded && (!message || read.text == pipe::Start);
    const bool startMissed = !s_.blocked && now - s_.admittedAt >= StartTimeoutMs;
    const bool heartbeatExpired = now - s_.lastMessage > HeartbeatTimeoutMs;
    bool due = ended || startMissed || heartbeatExpired;
    std::wstring endReason = ended         ? L"Saver process ended"
                             : startMissed ? L"No START from the client"
                                           : L"Heartbeat expired";
    // Any failed read, 232 (the pipe is being closed) included, is the end of the pipe.
    if (!due && read.kind == PipeRead::Kind::Error) {
        due = true;
        endReason = L"Pipe closed/error: " + std::to_wstring(read.error);
    }
    if (message && !ended) {
        // A message says more than the process state: a saver that wrote "STOP" and exited at once
        // ended with "STOP". A message is a word only when it is exactly that word.
        s_.lastMessage = now;
        if (read.text == pipe::Start && !s_.blocked) {
            // A session already due to end never starts a block.
            if (!due) {
                port_->beginBlock();
                s_.phase = Phase::Blocking;
                return;
            }
        } else if (read.text == pipe::Alive) {
            // heartbeat only; it does not save a session whose heartbeat already expired
        } else if (read.text == pipe::Stop) {
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
// arrives is kept and taken one per pass once the block has returned. The read comes first, so that
// what the client wrote before the reply is kept as such.
void SessionMachine::blockingPass(std::uint64_t now, std::uint32_t displayState) {
    if (!s_.readStopped) {
        PipeRead read = port_->readPipe();
        const bool failed = read.kind == PipeRead::Kind::Error;
        if (read.kind != PipeRead::Kind::Nothing) s_.queued.push_back(std::move(read));
        s_.readStopped = failed || s_.queued.size() >= MaxQueuedMessages;
    }
    const std::optional<bool> outcome = port_->blockOutcome(false);
    if (!outcome) return;
    s_.readStopped = false;
    port_->reply(*outcome ? pipe::Ok : pipe::Error);
    s_.replyAt = now;
    s_.blocked = *outcome;
    s_.lastMessage = now;  // the heartbeat restarts when the block has returned
    s_.phase = Phase::Session;
    if (s_.deferredRecovery) {
        const std::uint32_t reason = *s_.deferredRecovery;
        s_.deferredRecovery.reset();
        recover(now, displayState, reason);
        return;
    }
    if (!s_.blocked) conclude(now, displayState, true, L"Network blocking failed");
}

// The end of a session, once it is due: logged once, then held, kept through the grace, or released.
void SessionMachine::conclude(std::uint64_t now, std::uint32_t displayState, bool due, const std::wstring& endReason) {
    if (s_.phase != Phase::Grace) {
        if (!due) return;
        s_.endTime = now;
        s_.releaseReason = endReason;
        port_->log(endReason + L"; checking display before release");
    }
    if (s_.blocked && displayOffOrDimmed(displayState)) {
        port_->log(L"Screen off/dimmed: service retains network block after saver exit/timeout.");
        dropClient();
        s_.phase = Phase::Holding;
        return;
    }
    if (s_.blocked && now - s_.endTime < DisplayGraceMs) {
        s_.phase = Phase::Grace;
        return;
    }
    port_->log(L"Restoring network: " + s_.releaseReason);
    const bool released = release(now);
    dropClient();
    s_.blocked = false;
    s_.phase = released ? Phase::Idle : Phase::Cleaning;
}

// One run of the release procedure; a failure schedules the next try.
bool SessionMachine::release(std::uint64_t now) {
    if (port_->restore()) {
        s_.retry.reset();
        return true;
    }
    s_.nextRestoreTry = now + s_.retry.next();
    return false;
}

void SessionMachine::stop() {
    // The block finishes first; whatever it did is released below.
    if (s_.phase == Phase::Blocking) port_->blockOutcome(true);
    port_->log(L"Service stopping: restoring network.");
    port_->restore();
    port_->closeClientProcess();
}

// The session's client goes, with what it sent during the block; the pipe too, unless the client has yet to
// read a reply (then the pipe goes once it has, or at the latest a second after the reply).
void SessionMachine::dropClient() {
    port_->closeClientProcess();
    s_.queued.clear();
    if (const std::optional<std::uint64_t> reply = std::exchange(s_.replyAt, std::nullopt)) {
        s_.partingUntil = *reply + ReplyReadMs;
    } else {
        port_->disconnectPipe();
    }
}

// Whether the pipe is free for a new client: a client that keeps it to read its reply has read it (it wrote
// again), closed it, or had its time.
bool SessionMachine::pipeFree(std::uint64_t now) {
    if (!s_.partingUntil) return true;
    if (port_->readPipe().kind == PipeRead::Kind::Nothing && now < *s_.partingUntil) return false;
    port_->disconnectPipe();
    s_.partingUntil.reset();
    return true;
}

}  // namespace calmlane
