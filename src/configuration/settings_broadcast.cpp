#include "configuration/settings_broadcast.h"

#include <windows.h>

#include <chrono>
#include <system_error>

#include "app/detached_thread.h"

namespace calmlane {

namespace {

void drain(std::shared_ptr<SettingsNotificationQueue::State> state) {
    std::unique_lock<std::mutex> lock(state->mutex);
    while (state->pending) {
        state->pending = false;
        lock.unlock();
        try {
            if (!state->notify) throw std::bad_function_call();
            state->notify();
        } catch (...) {
            // A failed broadcast is not reported; the next request tries again.
        }
        lock.lock();
    }
    state->running = false;
    state->idle.notify_all();
}

}  // namespace

SettingsNotificationQueue settingsNotifications(broadcastDesktopSettingChange);

SettingsNotificationQueue::SettingsNotificationQueue(std::function<void()> notify)
    : state_(std::make_shared<State>()) {
    state_->notify = std::move(notify);
}

void SettingsNotificationQueue::request() noexcept {
    std::shared_ptr<State> state = state_;
    std::lock_guard<std::mutex> lock(state->mutex);
    state->pending = true;
    if (state->running) return;
    state->running = true;
    try {
        startDetached([state] { drain(state); });
    } catch (...) {
        state->running = false;  // the request is lost until the next one
    }
}

bool SettingsNotificationQueue::waitIdle(unsigned timeoutMs) noexcept {
    try {
        std::shared_ptr<State> state = state_;
        std::unique_lock<std::mutex> lock(state->mutex);
        return state->idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                    [&state] { return !state->running && !state->pending; });
    } catch (const std::system_error&) {
        return false;  // a failed lock or wait only loses the grace period
    }
}

void broadcastDesktopSettingChange() {
    DWORD_PTR result = 0;
    // The outcome is of no use: receivers that are slow or hung are simply skipped.
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Control Panel\\Desktop"),
                        SMTO_BLOCK | SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT, 200, &result);
}

}  // namespace calmlane
