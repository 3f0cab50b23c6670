#pragma once
// Coalescing WM_SETTINGCHANGE broadcaster: requests return at once; one thread sends the broadcasts.
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace calmlane {

class SettingsNotificationQueue {
public:
    struct State {
        std::mutex mutex;
        bool running = false;
        bool pending = false;
        std::function<void()> notify;
        std::condition_variable idle;  // signalled when the drain thread ends
    };

    explicit SettingsNotificationQueue(std::function<void()> notify);

    // Asks for one broadcast; never throws.
    void request() noexcept;
    // Waits up to timeoutMs for every requested broadcast to have been sent; true when idle.
    // For short-lived processes, whose exit would otherwise cut the broadcast off.
    // Never throws: it runs in destructors.
    bool waitIdle(unsigned timeoutMs) noexcept;

private:
    std::shared_ptr<State> state_;
};

// WM_SETTINGCHANGE for "Control Panel\Desktop" to every top-level window, 200 ms per window.
void broadcastDesktopSettingChange();

extern SettingsNotificationQueue settingsNotifications;

}  // namespace calmlane
