#pragma once
// The detached workers of the update features and how they hand their results back to a window.
#include <windows.h>

#include <memory>
#include <system_error>
#include <thread>
#include <utility>

namespace calmlane {

// Runs `work` on a detached thread. A thread that cannot be created raises "thread constructor failed".
template <typename Work>
void startDetached(Work&& work) {
    try {
        std::thread(std::forward<Work>(work)).detach();
    } catch (const std::system_error& error) {
        throw std::system_error(error.code(), "thread constructor failed");
    }
}

// Posts `record` as the message's lParam; the receiver owns and deletes it. When the post fails
// (the window is gone) the record is freed here. True when posted.
template <typename Record>
bool postOwned(HWND window, UINT message, std::unique_ptr<Record> record) {
    if (!PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(record.get()))) return false;
    record.release();
    return true;
}

}  // namespace calmlane
