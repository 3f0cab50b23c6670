#include "saver/pipe_client.h"

#include "protocol/pipe_protocol.h"
#include "protocol/service_clients.h"

namespace calmlane {

namespace {

// How often the session steps, and how long one attempt waits for a pipe that another client holds.
constexpr std::uint64_t StepMs = 500;
constexpr unsigned long BusyWaitMs = 250;

// A name that the service published is the service's, but a stale one may have been taken by another
// program while the service was down: only the running service's own process is a server to talk to.
// Returns the service's process id, or 0 when another process serves the pipe.
unsigned long servingService(HANDLE pipe) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) return 0;
    const unsigned long service = serviceProcessId();
    return server == service ? service : 0;
}

}  // namespace

PipeWrite writePipeWord(HANDLE pipe, std::string_view word) {
    const DWORD length = static_cast<DWORD>(word.size());
    DWORD written = 0;
    if (!WriteFile(pipe, word.data(), length, &written, nullptr)) return PipeWrite::Failed;
    return written == length ? PipeWrite::Sent : PipeWrite::Full;
}

void PipeClient::giveUp() {
    write(pipe::Stop);  // best effort: the service also notices the closed pipe
    pipe_.reset();
    confirmed_.store(false);
    rules_.lost();
}

void PipeClient::connect(std::uint64_t now) {
    if (!rules_.attemptDue(now)) return;
    rules_.attempting(now);
    if (!rules_.asks(serviceProcessId())) return;
    pipe_ = openControlPipe(BusyWaitMs);
    if (!pipe_) return;
    const unsigned long service = servingService(pipe_.get());
    if (service == 0) {
        pipe_.reset();  // given up without a word: tried again later
        return;
    }
    rules_.connected(service);
    DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr) || write(pipe::Start) != PipeWrite::Sent) {
        pipe_.reset();
    }
}

// One step on an open connection; false when it was lost.
bool PipeClient::converse() {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) {
        char reply[pipe::ReplyLimit + 1] = {};
        DWORD read = 0;
        if (ReadFile(pipe_.get(), reply, pipe::ReplyLimit, &read, nullptr) && read >= 1) {
            confirmed_.store(rules_.replied(std::string_view(reply, read)));
        }
    }
    // A full pipe (the service busy for a while) skips this heartbeat; only a failed write ends the session.
    return write(pipe::Alive) != PipeWrite::Failed;
}

void PipeClient::step(std::uint64_t now) {
    if (now - lastStep_ < StepMs) return;
    lastStep_ = now;
    if (pipe_) {
        if (converse()) return;
        giveUp();  // and asked for again at once, unless refused
    }
    connect(now);
}

void PipeClient::end() {
    if (pipe_) {
        write(pipe::Stop);
        pipe_.reset();
    }
    confirmed_.store(false);
}

}  // namespace calmlane
