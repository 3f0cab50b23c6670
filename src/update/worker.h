#pragma once
// The detached workers of the update features and how they hand their results back to a window.
#include <windows.h>

#include <memory>

#include "app/detached_thread.h"

namespace calmlane {

// Posts `record` as the message's lParam; the receiver owns and deletes it. When the post fails
// (the window is gone) the record is freed here. True when posted.
template <typename Record>
bool postOwned(HWND window, UINT message, std::unique_ptr<Record> record) {
    if (!PostMessageW(window, message, 0, reinterpret_cast<LPARAM>(record.get()))) return false;
    record.release();
    return true;
}

}  // namespace calmlane
