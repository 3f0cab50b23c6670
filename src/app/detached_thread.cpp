#include "app/detached_thread.h"

#include <windows.h>

#include <memory>
#include <system_error>

#include "app/handles.h"

namespace calmlane {
namespace {

DWORD WINAPI runDetached(void* parameter) {
    std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(parameter));
    try {
        (*work)();
    } catch (...) {
        // Work reports its own failures; nothing may escape a thread's entry point.
    }
    return 0;
}

}  // namespace

void startDetached(std::function<void()> work) {
    auto owned = std::make_unique<std::function<void()>>(std::move(work));
    UniqueHandle thread(CreateThread(nullptr, 0, runDetached, owned.get(), 0, nullptr));
    if (!thread) {
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "thread constructor failed");
    }
    owned.release();  // the thread owns it now
}

}  // namespace calmlane
