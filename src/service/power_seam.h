#pragma once
// Console display state reports for the service, behind a seam: Wine never sends them. The product links
// the Windows implementation (platform/power_windows.cpp); test builds link a double.
#include <windows.h>

namespace calmlane::power {

// Subscribes the service to console display state reports, delivered to its control handler
// (RegisterPowerSettingNotification); null when that fails. The handler is the one the service
// registered with the service manager.
HPOWERNOTIFY subscribeDisplay(SERVICE_STATUS_HANDLE status, LPHANDLER_FUNCTION_EX handler);
void unsubscribeDisplay(HPOWERNOTIFY subscription);

}  // namespace calmlane::power
