#pragma once
// Work that runs on its own thread and is never joined.

#include <functional>

namespace calmlane {

// Runs `work` on a new detached thread. The thread is created with CreateThread rather than the
// C++ runtime's thread, whose create-then-detach sometimes never started the work. When no thread
// can be created, std::system_error("thread constructor failed") is raised and `work` is dropped.
void startDetached(std::function<void()> work);

}  // namespace calmlane
