#pragma once
// The saver's end of the control pipe: open it ("START"), then a peek for the reply and "ALIVE" at every
// step, "STOP" when the saver ends. When to try and what the answers mean are the connection rules.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string_view>

#include "app/handles.h"
#include "saver/connection_rules.h"

namespace calmlane {

// Writes one word to a non-blocking pipe. A full pipe takes none of it and still reports success.
enum class PipeWrite { Sent, Full, Failed };
PipeWrite writePipeWord(HANDLE pipe, std::string_view word);

// The saver's session with the service. Its session thread steps it; its window thread reads whether the
// pause is confirmed, for the overlay.
class PipeClient {
public:
    explicit PipeClient(std::uint64_t startTicks) : rules_(startTicks) {}
    ~PipeClient() { end(); }
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    // One client step at `now`, once 500 ms have passed since the last one.
    void step(std::uint64_t now);
    // Ends the session: "STOP" when connected, then close; the pause is no longer confirmed.
    void end();
    bool pauseConfirmed() const { return confirmed_.load(); }

private:
    PipeWrite write(std::string_view word) { return writePipeWord(pipe_.get(), word); }
    void connect(std::uint64_t now);
    bool converse();
    void giveUp();

    UniqueHandle pipe_;
    std::uint64_t lastStep_ = 0;
    ConnectionRules rules_;
    std::atomic<bool> confirmed_{false};
};

}  // namespace calmlane
