#pragma once
// The service end of the control pipe: a few overlapped instances under a name chosen afresh at each
// start, their listens, admission and the reads of the one session. Nothing here waits: each operation is
// started and its completion signals an event the service loop waits on.
#include <windows.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/handles.h"
#include "app/local_path.h"
#include "protocol/pipe_protocol.h"
#include "service/session_machine.h"

namespace calmlane {

inline constexpr DWORD PipeInBufferBytes = 4096;
// While idle every instance listens, so that a program that opens and closes the pipe in a loop holds at
// most one of them and the saver finds another; while a session is open none but its own is connected.
inline constexpr std::size_t PipeInstances = 4;

// What an overlapped ConnectNamedPipe call (or its completion) means, by Windows' documented semantics:
// pending is the normal listen; 535 is "a client connected before the listen" (the event is not set);
// 232 is "a client came and went" (the instance must be disconnected and listen again); anything else is
// a failure of the pipe itself.
enum class ConnectResult { Pending, Client, Stale, Failed };
ConnectResult classifyConnect(bool succeeded, unsigned long error);

// Whether a client's image path names the installed saver: a drive-letter path on a fixed disk whose file
// has the installed file's volume serial number and file id, and no other name. Windows reports a
// process's image under the name it was started by (an 8.3 path, a \\?\ path, another letter case), so
// a text comparison would refuse the real saver; a second name (a hard link a user made elsewhere) could
// stand for it once the real image behind that name was renamed away. Neither file is opened through a
// link, so that a path a user controls cannot send this open elsewhere. False when anything cannot be read.
bool isInstalledSaver(const std::wstring& image, const std::wstring& installed);

class ControlPipe {
public:
    ControlPipe() = default;
    ~ControlPipe() { close(); }
    ControlPipe(const ControlPipe&) = delete;
    ControlPipe& operator=(const ControlPipe&) = delete;

    // Creates the instances under a fresh name and only then publishes its path in HKLM "ControlPipe";
    // 0 or the error that stopped it.
    unsigned long create();
    // Cancels what is pending, closes the instances and withdraws the published path.
    void close();
    const std::wstring& path() const { return path_; }

    // Listens on every instance that is not listening yet; true when one has a client, which becomes the
    // current client. A client that came and went is disconnected and its instance listens again. Throws
    // when the pipe cannot listen at all.
    bool clientConnected();
    // Admission check of the current client: the held process handle on success, empty on refusal. The
    // client's session is stored in `session` as soon as it is known, before anything else is asked, so
    // that a session change from then on counts for it; on refusal it goes back to `none`. An admitted
    // client holds the pipe: every other instance stops listening and is disconnected.
    UniqueHandle admit(std::atomic<std::uint32_t>& session, std::uint32_t none);
    // One message of the current client when one has arrived; nothing while the read is pending; the
    // read's error when it failed.
    PipeRead read();
    void write(std::string_view text);
    // Cancels the current client's pending read, waits for it, and disconnects the client.
    void disconnect();
    // The events of the pending listens or of the pending read, signalled when they complete.
    std::vector<HANDLE> events() const;
    // Whether there is something to do at once rather than to wait for: a client to judge, an instance
    // that does not listen yet, or a session whose next read has not been started.
    bool readyNow() const { return events().empty(); }

private:
    struct Operation {
        UniqueHandle event;
        OVERLAPPED overlapped{};
        bool pending = false;
        bool start(HANDLE pipe);
        void cancel(HANDLE pipe);
    };
    struct Instance {
        UniqueHandle pipe;
        Operation connect;
        bool connected = false;
        bool listen();
        void disconnect();
    };
    HANDLE current() const { return instances_[current_].pipe.get(); }
    PipeRead takeRead(bool completed, DWORD error);

    std::array<Instance, PipeInstances> instances_;
    std::size_t current_ = 0;
    std::wstring path_;
    Operation read_;
    char buffer_[pipe::MessageLimit + 1] = {};
};

}  // namespace calmlane
