#include "service/session_machine.h"

namespace calmlane {

namespace {

bool displayOffOrDimmed(std::uint32_t state) { return state == DisplayOff || state == DisplayDimmed; }

}  // namespace

void SessionMachine::pass(std::uint64_t now, std::uint32_t displayState, bool restoreRequested,
                          std::uint32_t recoveryReason) {
    if (displayState != lastLoggedDisplay_) {
        port_.log(L"Console display state: " + std::to_wstring(displayState));
        lastLoggedDisplay_ = displayState;
    }
    if (restoreRequested) {
        port_.log(L"Recovery requested; reason code: " + std::to_wstring(recoveryReason));
        port_.restore();
        if (clientOpen_) dropClient();
        blocked_ = releasePending_ = holding_ = false;
        idlePass(now, displayState);
        return;
    }
    if (holding_) return;  // only a recovery request or stop ends a hold; the pipe does not listen
    if (clientOpen_) {
        sessionPass(now, displayState);
        return;
    }
    idlePass(now, displayState);
}

void SessionMachine::idlePass(std::uint64_t now, std::uint32_t displayState) {
    if (port_.somethingLeftBlocked()) {
        if (restoreTried_ && now - lastRestoreTry_ < RestoreRetryMs) return;
        restoreTried_ = true;
        lastRestoreTry_ = now;
        if (!port_.restore()) return;
    }
    if (!port_.pollAndAdmit()) return;
    clientOpen_ = true;
    blocked_ = releasePending_ = false;
    lastMessage_ = now;
    sessionPass(now, displayState);
}

void SessionMachine::sessionPass(std::uint64_t now, std::uint32_t displayState) {
    const PipeRead read = port_.readPipe();
    const bool processEnded = port_.clientProcessEnded();
    const bool heartbeatExpired = now - lastMessage_ > HeartbeatTimeoutMs;

    // The process and the heartbeat decide first; a pipe error counts only while the client lives.
    // An ended process is noticed only once the pipe holds nothing more from it: a saver that wrote
    // "ALIVE" and "STOP" just before exiting ended with "STOP", one message per pass.
    const bool ended = processEnded && read.kind != PipeRead::Kind::Message;
    bool due = ended || heartbeatExpired;
    std::wstring endReason = ended ? L"Saver process ended" : L"Heartbeat expired";
    if (!due && read.kind == PipeRead::Kind::Error && read.error != 232 && read.error != 536) {
        due = true;
        endReason = L"Pipe closed/error: " + std::to_wstring(read.error);
    }
    std::uint64_t heard = now;
    if (read.kind == PipeRead::Kind::Message) {
        // A message says more than the process state: a saver that wrote "STOP" and exited at once
        // ended with "STOP". But a session already due to end never starts a block.
        if (read.text == "START" && !blocked_) {
            if (!due) {
                const bool ok = port_.block();
                // The heartbeat restarts when the block has returned; messages queued meanwhile count
                // as they are read, one per pass.
                heard = port_.tick();
                port_.reply(ok ? "OK" : "ERROR");
                if (ok) {
                    blocked_ = true;
                } else {
                    due = true;
                    endReason = L"Network blocking failed";
                }
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
        lastMessage_ = heard;
    }

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
    port_.restore();
    dropClient();
    blocked_ = releasePending_ = false;
}

void SessionMachine::stop() {
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
}

}  // namespace calmlane
