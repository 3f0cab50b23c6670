#pragma once
// Child processes for end-to-end tests, and the message boxes they show.
#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "app/handles.h"

namespace calmlane::test {

// Polls `done` every `stepMs` until it holds or `timeoutMs` has passed; its last answer.
template <typename Predicate>
bool waitUntil(Predicate done, DWORD timeoutMs = 5000, DWORD stepMs = 25) {
    for (const ULONGLONG deadline = GetTickCount64() + timeoutMs; GetTickCount64() < deadline; Sleep(stepMs)) {
        if (done()) return true;
    }
    return done();
}

// Handles every message waiting for this thread.
inline void pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

// waitUntil for a thread with windows: their messages are handled while it waits.
template <typename Predicate>
bool pumpUntil(Predicate done, DWORD timeoutMs = 20000) {
    return waitUntil([&] {
        pump();
        return done();
    }, timeoutMs, 20);
}

// The message of the runtime_error that `operation` throws, or "nothing thrown".
template <typename Operation>
std::string thrownBy(Operation operation) {
    try {
        operation();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "nothing thrown";
}

struct MessageBoxSeen {
    std::wstring caption;
    std::wstring text;
};

struct ChildResult {
    bool finished = false;          // false: killed at the time limit
    DWORD exitCode = 0;
    std::vector<MessageBoxSeen> boxes;  // every message box the child showed, each dismissed with OK
    std::string output;             // its standard output and error, when captured
};

// How runChild starts a child: its standard output and error redirected to a file that it reads back
// afterwards, and on another desktop ("station\desktop") than this process's.
struct ChildOptions {
    bool captureOutput = false;
    const wchar_t* desktop = nullptr;
};

// Reads and answers (with `answer`: IDOK, IDYES, IDNO…) every message box that this process (or the
// process `processId`, or with 0 any process) shows, from a thread of its own, for as long as it lives.
class BoxWatcher {
public:
    explicit BoxWatcher(int answer = IDOK, DWORD processId = GetCurrentProcessId());
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher&) = delete;
    BoxWatcher& operator=(const BoxWatcher&) = delete;
    std::vector<MessageBoxSeen> boxes() const;
    // Waits for a box whose text contains `text` (other boxes may come first).
    bool waitFor(const std::wstring& text, DWORD timeoutMs = 30000) const;

private:
    static DWORD WINAPI watch(void* self);
    int answer_;
    DWORD processId_;
    UniqueHandle stop_;
    UniqueHandle thread_;
    mutable CRITICAL_SECTION lock_;
    std::vector<MessageBoxSeen> boxes_;
};

// A started child process; `process` is empty when it could not be started.
struct StartedChild {
    UniqueHandle process;
    DWORD id = 0;
};
StartedChild startChild(const std::wstring& program, const std::wstring& arguments, HANDLE output = nullptr,
                        const wchar_t* desktop = nullptr);

// A program started with a window: its first top-level window of `className` (any class: nullptr) is
// waited for up to 10 s; the program is ended, if still running, when this goes out of scope.
class WindowedChild {
public:
    WindowedChild(const std::wstring& program, const std::wstring& arguments, const wchar_t* className = nullptr);
    ~WindowedChild();
    WindowedChild(const WindowedChild&) = delete;
    WindowedChild& operator=(const WindowedChild&) = delete;
    // Its top-level windows of that class, visible or not.
    std::vector<HWND> windows() const;
    // Its exit code once it has ended within `timeoutMs`; STILL_ACTIVE (259) otherwise.
    DWORD exitWithin(DWORD timeoutMs) const;
    // Closes its first window; the exit code, or STILL_ACTIVE when it did not end within `timeoutMs`.
    DWORD close(DWORD timeoutMs = 10000) const;
    StartedChild child;
    HWND window = nullptr;  // the first window found; nullptr when none came

private:
    const wchar_t* className_;
};

// Kernel handles and threads of this process, counted directly (Wine's GetProcessHandleCount says 0).
struct ProcessResources {
    std::size_t handles = 0;
    std::size_t threads = 0;
};
ProcessResources processResources();

// Folder of the running test program (build/mingw/bin): the product executables sit beside it.
std::wstring binFolder();

// A top-level window of its own class (registered on first use) whose messages go to `procedure`.
HWND createProbeWindow(const wchar_t* className, WNDPROC procedure, DWORD style = 0, int width = 10, int height = 10);

// Starts `program` with `arguments`, dismisses each message box it shows after reading it, and waits.
ChildResult runChild(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs,
                     const ChildOptions& options = {});
// runChild's exit code, or STILL_ACTIVE (259) when the child could not start or did not finish in time.
DWORD runToExit(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs);

// Makes `link` (a new name) a Unix symbolic link to the folder or file `target`, both Windows paths in the
// prefix, or removes such a link. This is Wine's only kind of link: it follows one even when asked not to,
// and shows it only in the final path (ENGINEERING.md, section 5). True once it is done.
bool makeUnixLink(const std::wstring& target, const std::wstring& link);
bool removeUnixLink(const std::wstring& link);

// The first top-level window of process `processId` (of class `className` when given, visible or not)
// within `timeoutMs`; nullptr when none came.
HWND waitForWindow(DWORD processId, const wchar_t* className = nullptr, DWORD timeoutMs = 10000);

}  // namespace calmlane::test
