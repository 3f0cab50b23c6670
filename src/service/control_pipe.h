#pragma once
// The service end of the control pipe: creation, the non-blocking connect poll, admission, reads.
#include <windows.h>

#include <string>

#include "app/handles.h"
#include "service/session_machine.h"

namespace calmlane {

inline constexpr const wchar_t* PipeSddl = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)";

// What one non-blocking ConnectNamedPipe call means, by Windows' documented semantics:
// success is "listening again after a disconnect", 536 is "listening, nobody yet", 535 is "a client is
// connected", 232 is "a client came and went before we noticed" (the instance must be disconnected).
enum class ConnectPoll { Nobody, Client, Stale };
ConnectPoll classifyConnect(bool succeeded, unsigned long error);

// The text of a read: the bytes before the first zero byte.
std::string messageText(const char* bytes, unsigned long count);

// Whether two paths name the same file, by volume serial number and file id; false when either cannot
// be opened or identified. Windows reports a process's image under the name it was started by (an 8.3
// path, a \\?\ or device path, another letter case), so a text comparison would refuse the real saver.
bool sameFile(const std::wstring& first, const std::wstring& second);

class ControlPipe {
public:
    // Creates the single pipe instance; returns 0 or the creation error.
    unsigned long create();
    void close() { pipe_.reset(); }

    ConnectPoll poll();
    // Admission check of a connected client; the held process handle on success, empty on refusal.
    UniqueHandle admit();
    PipeRead read();
    void write(const char* text);
    void disconnect();

private:
    UniqueHandle pipe_;
};

}  // namespace calmlane
