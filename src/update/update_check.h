#pragma once
// The update check: asks the maker's manifest for the newest version and remembers the answer.
#include <windows.h>

#include <string>

#include "update/version.h"

namespace calmlane {

struct UpdateInfo {
    bool available = false;  // a version newer than the running one is known
    bool answered = false;   // only in a posted result: the server answered with a version
    std::wstring version;    // as the server spelled it; empty when none
    std::wstring url;        // the download page
};

// The stored answer (HKCU AvailableVersion), without network access; `answered` stays false. Nothing is
// available while the DisableUpdateCheck policy is in force.
UpdateInfo cachedUpdateInfo();

// Starts a check on a detached thread unless one was already answered today (or `force`), or the
// DisableUpdateCheck policy is in force, and returns at once. The result is posted as
// PostMessageW(window, message, 0, UpdateInfo*); the receiver deletes it.
void beginUpdateCheck(HWND window, UINT message, bool force);

// Today's local date as year * 10000 + month * 100 + day, the form of LastUpdateCheckDay.
unsigned long localDay();

}  // namespace calmlane
