// Display-state double: Wine reports no console display state, so the test sets one in the store
// ("ConsoleDisplay", absent: no report) and this double hands each change to the service's real
// control handler, as the service manager would. Not counted as a seam call.
#include <atomic>
#include <cstring>
#include <thread>

#include "doubles/double_store.h"
#include "service/seams.h"
#include "service/service_host.h"

namespace calmlane::power {

namespace {

std::thread watcher;
std::atomic<bool> stopping{false};

void report(LPHANDLER_FUNCTION_EX handler, DWORD value) {
    alignas(POWERBROADCAST_SETTING) unsigned char bytes[sizeof(POWERBROADCAST_SETTING) + sizeof(DWORD)] = {};
    auto* setting = reinterpret_cast<POWERBROADCAST_SETTING*>(bytes);
    setting->PowerSetting = ConsoleDisplayState;
    setting->DataLength = sizeof(DWORD);
    std::memcpy(setting->Data, &value, sizeof(value));
    handler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, setting, nullptr);
}

}  // namespace

HPOWERNOTIFY subscribeDisplay(SERVICE_STATUS_HANDLE, LPHANDLER_FUNCTION_EX handler) {
    stopping = false;
    watcher = std::thread([handler] {
        constexpr DWORD None = 0xFFFFFFFF;
        DWORD reported = None;
        while (!stopping) {
            const DWORD value = doubles::storeDword(L"ConsoleDisplay", None);
            if (value != reported && value != None) report(handler, value);
            reported = value;
            Sleep(20);
        }
    });
    return reinterpret_cast<HPOWERNOTIFY>(static_cast<ULONG_PTR>(0x7000));
}

void unsubscribeDisplay(HPOWERNOTIFY) {
    stopping = true;
    if (watcher.joinable()) watcher.join();
}

}  // namespace calmlane::power
