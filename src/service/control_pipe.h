#pragma once
// The service end of the control pipe: creation, the non-blocking connect poll, admission, reads.
#include <windows.h>

#include <string>

#include "app/handles.h"
#include "app/local_path.h"
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

// Whether a client's image path names the installed saver: a drive-letter path on a fixed disk whose file
// has the installed file's volume serial number and file id, and no other name. Windows reports a
// process's image under the name it was started by (an 8.3 path, a \\?\ path, another letter case), so
// a text comparison would refuse the real saver; a second name (a hard link a user made elsewhere) could
// stand for it once the real image behind that name was renamed away. False when anything cannot be read.
bool isInstalledSaver(const std::wstring& image, const std::wstring& installed);

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
