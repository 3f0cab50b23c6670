// The saver's end of the control pipe: open within the first 1,500 ms, "START", then a peek for the
// reply and "ALIVE" at every step, "STOP" when the saver ends.
#include <cstring>

#include "app/constants.h"
#include "saver/saver.h"
#include "service/service_clients.h"

namespace calmlane {

namespace {

constexpr std::uint64_t ConnectWindowMs = 1499;

bool write(Saver& saver, const char* text) { return writePipeWord(saver.pipe.get(), text); }

// While the service is down any local program may create a pipe of that name and answer "OK": only the
// running service's own process is a server the saver talks to.
bool servedByService(HANDLE pipe) {
    ULONG server = 0;
    if (!GetNamedPipeServerProcessId(pipe, &server)) return false;
    const unsigned long service = serviceProcessId();
    return service != 0 && server == service;
}

void givePipeUp(Saver& saver) {
    write(saver, "STOP");  // best effort: the service also notices the closed pipe
    saver.pipe.reset();
    saver.pauseConfirmed.exchange(false);
}

void connect(Saver& saver, std::uint64_t now) {
    if (now - saver.startTicks > ConnectWindowMs) return;  // never again after the first 1,500 ms
    // Identification only: a pipe squatted under our name cannot impersonate the user.
    saver.pipe.reset(CreateFileW(PipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!saver.pipe) return;
    if (!servedByService(saver.pipe.get())) {
        saver.pipe.reset();  // given up without a word: the saver runs as it does without a service
        return;
    }
    DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(saver.pipe.get(), &mode, nullptr, nullptr) || !write(saver, "START")) {
        givePipeUp(saver);
    }
}

}  // namespace

bool writePipeWord(HANDLE pipe, const char* word) {
    const DWORD length = static_cast<DWORD>(std::strlen(word));
    DWORD written = 0;
    return WriteFile(pipe, word, length, &written, nullptr) != FALSE && written == length;
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
            saver.pauseConfirmed.exchange(read == 2 && std::memcmp(reply, "OK", 2) == 0);
        }
    }
    if (!write(saver, "ALIVE")) givePipeUp(saver);
}

void endPipeSession(Saver& saver) {
    if (saver.pipe) {
        write(saver, "STOP");
        saver.pipe.reset();
    }
    saver.pauseConfirmed.exchange(false);
}

}  // namespace calmlane
