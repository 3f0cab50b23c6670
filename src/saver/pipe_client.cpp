// The saver's end of the control pipe: open it ("START"), then a peek for the reply and "ALIVE" at every
// step, "STOP" when the saver ends. Without a session it keeps trying, so that a late service, a busy pipe
// or a lost connection still ends in a pause.
#include <cstring>

#include "app/constants.h"
#include "saver/saver.h"
#include "service/service_clients.h"

namespace calmlane {

namespace {

constexpr std::uint64_t ConnectWindowMs = 1499;
constexpr std::uint64_t ReconnectMs = 1000;
// How long one attempt waits for a pipe that another client holds.
constexpr unsigned long BusyWaitMs = 250;

PipeWrite write(Saver& saver, const char* text) { return writePipeWord(saver.pipe.get(), text); }

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
    write(saver, "STOP");  // best effort: the service also notices the closed pipe
    saver.pipe.reset();
    saver.pauseConfirmed.exchange(false);
    // A session lost after its "OK" (a stalled heartbeat, a release at sleep or when the display came on)
    // is asked for again: the saver still runs. One ended before "OK" was refused ("ERROR", whose reply
    // the closing pipe may swallow): asking the same process again would only repeat the failed block,
    // but a restarted service is asked again.
    if (!saver.sessionConfirmed) saver.refusedBy = saver.sessionService;
}

void connect(Saver& saver, std::uint64_t now) {
    if (!connectAttemptDue(now - saver.startTicks, now - saver.lastConnectTicks)) return;
    saver.lastConnectTicks = now;
    if (saver.refusedBy != 0 && serviceProcessId() == saver.refusedBy) return;
    saver.pipe = openControlPipe(BusyWaitMs);
    if (!saver.pipe) return;
    const unsigned long service = servingService(saver.pipe.get());
    if (service == 0) {
        saver.pipe.reset();  // given up without a word: tried again later
        return;
    }
    saver.sessionService = service;
    saver.sessionConfirmed = false;
    DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(saver.pipe.get(), &mode, nullptr, nullptr) ||
        write(saver, "START") != PipeWrite::Sent) {
        saver.pipe.reset();
    }
}

}  // namespace

bool connectAttemptDue(std::uint64_t sinceStartMs, std::uint64_t sinceLastAttemptMs) {
    return sinceStartMs <= ConnectWindowMs || sinceLastAttemptMs >= ReconnectMs;
}

PipeWrite writePipeWord(HANDLE pipe, const char* word) {
    const DWORD length = static_cast<DWORD>(std::strlen(word));
    DWORD written = 0;
    if (!WriteFile(pipe, word, length, &written, nullptr)) return PipeWrite::Failed;
    return written == length ? PipeWrite::Sent : PipeWrite::Full;
}

void pipeStep(Saver& saver, std::uint64_t now) {
    if (!saver.pipe) {
        connect(saver, now);
        return;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(saver.pipe.get(), nullptr, 0, nullptr, &available, nullptr)) {
        givePipeUp(saver);
        return;
    }
    if (available > 0) {
        char reply[16] = {};
        DWORD read = 0;
        if (ReadFile(saver.pipe.get(), reply, 15, &read, nullptr) && read >= 1) {
            const bool ok = read == 2 && std::memcmp(reply, "OK", 2) == 0;
            saver.pauseConfirmed.exchange(ok);
            saver.sessionConfirmed = saver.sessionConfirmed || ok;
        }
    }
    // A full pipe (the service busy for a while) skips this heartbeat; only a failed write ends the session.
    if (write(saver, "ALIVE") == PipeWrite::Failed) givePipeUp(saver);
}

void endPipeSession(Saver& saver) {
    if (saver.pipe) {
        write(saver, "STOP");
        saver.pipe.reset();
    }
    saver.pauseConfirmed.exchange(false);
}

}  // namespace calmlane
