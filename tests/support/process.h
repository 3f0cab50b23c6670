#pragma once
// Child processes for end-to-end tests, and the message boxes they show.
#include <windows.h>

#include <string>
#include <vector>

namespace calmlane::test {

struct MessageBoxSeen {
    std::wstring caption;
    std::wstring text;
};

struct ChildResult {
    bool finished = false;          // false: killed at the time limit
    DWORD exitCode = 0;
    std::vector<MessageBoxSeen> boxes;  // every message box the child showed, each dismissed with OK
};

// Folder of the running test program (build/mingw/bin): the product executables sit beside it.
std::wstring binFolder();

// Starts `program` with `arguments`, dismisses each message box it shows after reading it, and waits.
ChildResult runChild(const std::wstring& program, const std::wstring& arguments, DWORD timeoutMs);

}  // namespace calmlane::test
