// The saver's end of the control pipe: open within the first 1,500 ms, "START", then a peek for the
// reply and "ALIVE" at every step, "STOP" when the saver ends.
#include <cstring>

#include "app/constants.h"
#include "saver/saver.h"

namespace calmlane {

namespace {

constexpr std::uint64_t ConnectWindowMs = 1499;

bool write(Saver& saver, const char* text) {
    DWORD written = 0;
    return WriteFile(saver.pipe.get(), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr) != FALSE;
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
    DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(saver.pipe.get(), &mode, nullptr, nullptr) || !write(saver, "START")) {
        givePipeUp(saver);
    }
}

}  // namespace

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
