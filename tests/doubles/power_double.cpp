// Display-state double: Wine reports no console display state, so the test sets one in the store
// ("ConsoleDisplay", absent: no report) and this double hands each change to the service's real
// control handler, as the service manager would. Not counted as a seam call. It sleeps until the store
// changes, so that the idle test variant wakes no more than the product does.
#include <cstring>
#include <thread>

#include "app/handles.h"
#include "doubles/double_store.h"
#include "service/power_seam.h"
#include "service/service_host.h"

namespace calmlane::power {

namespace {

std::thread watcher;
UniqueHandle stopWatching;

void report(LPHANDLER_FUNCTION_EX handler, DWORD value) {
    alignas(POWERBROADCAST_SETTING) unsigned char bytes[sizeof(POWERBROADCAST_SETTING) + sizeof(DWORD)] = {};
    auto* setting = reinterpret_cast<POWERBROADCAST_SETTING*>(bytes);
    setting->PowerSetting = ConsoleDisplayState;
    setting->DataLength = sizeof(DWORD);
    std::memcpy(setting->Data, &value, sizeof(value));
    handler(SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, setting, nullptr);
}

// The store's key, watched for value changes, and SOFTWARE, watched for keys made or deleted below it: tests
// delete the store and make it again, which a handle to the deleted key would not see. Each watch is a
// one-shot notification on its own event, armed again after it fired; the store is opened again only when
// SOFTWARE's names changed.
struct StoreWatch {
    UniqueKey store, software;
    UniqueHandle valuesChanged{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    UniqueHandle namesChanged{CreateEventW(nullptr, FALSE, FALSE, nullptr)};

    bool reopen() {
        store.reset();
        return RegCreateKeyExW(HKEY_LOCAL_MACHINE, doubles::StoreKey, 0, nullptr, 0, KEY_NOTIFY | KEY_QUERY_VALUE,
                               nullptr, store.put(), nullptr) == ERROR_SUCCESS &&
               armValues();
    }
    bool armValues() {
        return RegNotifyChangeKeyValue(store.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, valuesChanged.get(), TRUE) ==
               ERROR_SUCCESS;
    }
    bool armNames() {
        if (!software && RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE", 0, KEY_NOTIFY, software.put()) != ERROR_SUCCESS) {
            return false;
        }
        return RegNotifyChangeKeyValue(software.get(), FALSE, REG_NOTIFY_CHANGE_NAME, namesChanged.get(), TRUE) ==
               ERROR_SUCCESS;
    }
};

}  // namespace

HPOWERNOTIFY subscribeDisplay(SERVICE_STATUS_HANDLE, LPHANDLER_FUNCTION_EX handler) {
    stopWatching.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopWatching) return nullptr;
    watcher = std::thread([handler] {
        constexpr DWORD None = 0xFFFFFFFF;
        DWORD reported = None;
        StoreWatch watch;
        bool armed = watch.armNames() && watch.reopen();
        for (;;) {
            // Armed before the read: a change made after the read wakes the next wait.
            const DWORD value = doubles::storeDword(L"ConsoleDisplay", None);
            if (value != reported && value != None) report(handler, value);
            reported = value;
            const HANDLE handles[] = {stopWatching.get(), watch.valuesChanged.get(), watch.namesChanged.get()};
            const DWORD waited = WaitForMultipleObjects(3, handles, FALSE, armed ? INFINITE : 100);
            if (waited == WAIT_OBJECT_0 || waited == WAIT_FAILED) return;
            if (waited == WAIT_OBJECT_0 + 1 && armed) {
                armed = watch.armValues();
            } else {
                armed = watch.armNames() && watch.reopen();
            }
        }
    });
    return reinterpret_cast<HPOWERNOTIFY>(static_cast<ULONG_PTR>(0x7000));
}

void unsubscribeDisplay(HPOWERNOTIFY) {
    if (stopWatching) SetEvent(stopWatching.get());
    if (watcher.joinable()) watcher.join();
}

}  // namespace calmlane::power
