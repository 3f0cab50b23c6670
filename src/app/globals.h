#pragma once
// Process-wide state set at start-up and read by the roles.
#include <windows.h>

#include <string>

#include "app/settings.h"

namespace calmlane {

extern HINSTANCE instance;
extern Settings settings;
extern int requestedPage;            // page the main window opens, 0 to 3
// "/c" with a handle: Windows' screen saver dialog, which owns the customise page; null otherwise
extern HWND settingsDialog;
extern bool quitAfterTest;           // the main window runs the UI self-test and exits
extern std::wstring snapshotPath;    // file the UI self-test writes
extern std::wstring snapshotUpdateVersion;  // version the self-test shows as available

}  // namespace calmlane
