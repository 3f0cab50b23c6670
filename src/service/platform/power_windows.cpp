// Console display state reports behind the power seam: the service manager delivers them to the
// handler the service registered, so the handler argument is not needed here.
#include <windows.h>

#include "app/display_state.h"
#include "service/power_seam.h"

namespace calmlane::power {

HPOWERNOTIFY subscribeDisplay(SERVICE_STATUS_HANDLE status, LPHANDLER_FUNCTION_EX) {
    return RegisterPowerSettingNotification(status, &ConsoleDisplayState, DEVICE_NOTIFY_SERVICE_HANDLE);
}

void unsubscribeDisplay(HPOWERNOTIFY subscription) { UnregisterPowerSettingNotification(subscription); }

}  // namespace calmlane::power
