#pragma once
// Entry functions of the roles that the command line selects.
#include <windows.h>

#include <string>

namespace calmlane {

int runTray();
int requestNetworkRestore();
void runService();
int changeNetworkMode(bool firewall);
void activateSaver();
void deactivateSaver();
void setSaverTimeout(unsigned minutes);
std::wstring configurationReport();
void runSaver(HWND parent, bool previewOnly, int testSeconds);
int runWindow();

}  // namespace calmlane
