// The saver's end of the control pipe: open it ("START"), then a peek for the reply and "ALIVE" at every
// step, "STOP" when the saver ends. When to try and what the answers mean are the connection rules.
#include <cstring>

#include "protocol/pipe_protocol.h"
#include "protocol/service_clients.h"
#include "saver/saver.h"

namespace calmlane {

namespace {

// How long one attempt waits for a pipe that another client holds.
constexpr unsigned long BusyWaitMs = 250;

PipeWrite write(Saver& saver, std::string_view word) { return writePipeWord(saver.pipe.get(), word); }

// A name that the service published is the service's, but a stale one may have been taken by another
// program while the service was down: only the running service's own process is a server to talk to.
// Returns the service's process id, or 0 when another process serves the pipe.
unsigned long servingService(HANDLE pipe) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) return 0;
    const unsigned long service = serviceProcessId();
    return server == service ? service : 0;
}

void givePipeUp(Saver& saver) {
    write(saver, pipe::Stop);  // best effort: the service also notices the closed pipe
    saver.pipe.reset();
    saver.pauseConfirmed.exchange(false);
    saver.rules.lost();
}

void connect(Saver& saver, std::uint64_t now) {
    if (!saver.rules.attemptDue(now)) return;
    saver.rules.attempting(now);
    if (!saver.rules.asks(serviceProcessId())) return;
    saver.pipe = openControlPipe(BusyWaitMs);
    if (!saver.pipe) return;
    const unsigned long service = servingService(saver.pipe.get());
    if (service == 0) {
        saver.pipe.reset();  // given up without a word: tried again later
        return;
    }
    saver.rules.connected(service);
    DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(saver.pipe.get(), &mode, nullptr, nullptr) ||
        write(saver, pipe::Start) != PipeWrite::Sent) {
        saver.pipe.reset();
    }
}

// One step on an open connection; false when it was lost.
bool converse(Saver& saver) {
    DWORD available = 0;
    if (!PeekNamedPipe(saver.pipe.get(), nullptr, 0, nullptr, &available, nullptr)) return false;
    if (available > 0) {
        char reply[pipe::ReplyLimit + 1] = {};
        DWORD read = 0;
        if (ReadFile(saver.pipe.get(), reply, pipe::ReplyLimit, &read, nullptr) && read >= 1) {
            saver.pauseConfirmed.exchange(saver.rules.replied(std::string_view(reply, read)));
        }
    }
    // A full pipe (the service busy for a while) skips this heartbeat; only a failed write ends the session.
    return write(saver, pipe::Alive) != PipeWrite::Failed;
}

}  // namespace

PipeWrite writePipeWord(HANDLE pipe, std::string_view word) {
    const DWORD length = static_cast<DWORD>(word.size());
    DWORD written = 0;
    if (!WriteFile(pipe, word.data(), length, &written, nullptr)) return PipeWrite::Failed;
    return written == length ? PipeWrite::Sent : PipeWrite::Full;
}

void pipeStep(Saver& saver, std::uint64_t now) {
    if (saver.pipe) {
        if (converse(saver)) return;
        givePipeUp(saver);  // and asked for again at once, unless refused
    }
    connect(saver, now);
}

void endPipeSession(Saver& saver) {
    if (saver.pipe) {
        write(saver, pipe::Stop);
        saver.pipe.reset();
    }
    saver.pauseConfirmed.exchange(false);
}

}  // namespace calmlane
