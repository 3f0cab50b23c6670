#pragma once
// Enabling or disabling the screen saver on a worker thread, polled by the window that started it.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace calmlane {

enum class SaverAction : std::uint32_t { Enable = 0, Disable = 1 };  // any other value acts as Disable

class SaverOperation {
public:
    // Starts the worker; throws std::system_error when no thread can be made.
    static std::shared_ptr<SaverOperation> start(SaverAction action, std::function<void()> work);
    // Empty until the worker has finished; then the error text, empty after success.
    std::string error() const;

    std::atomic<bool> finished{false};
    std::string message;
    SaverAction action;

    explicit SaverOperation(SaverAction a) : action(a) {}
};

std::shared_ptr<SaverOperation> beginSaverOperation(SaverAction action);
// beginSaverOperation with the window's polling timer set first (75 ms); throws "Cannot track the screen
// saver operation." when the timer cannot be set, and kills the timer again when the worker cannot start.
std::shared_ptr<SaverOperation> beginTrackedSaverOperation(HWND window, UINT_PTR timer, SaverAction action);
std::wstring saverOperationLabel(SaverAction action);

}  // namespace calmlane
