#pragma once
// The two companion programs over the installation routines: "Calmlane Setup.exe" and Uninstall.exe.
#include <windows.h>

#include <string>

#include "install/installer.h"

namespace calmlane {

// Resource ids (RT_RCDATA) of the files that the setup program carries.
inline constexpr int PayloadExecutable = 101;   // installed as Calmlane.exe and Calmlane.scr
inline constexpr int PayloadUninstaller = 102;  // installed as Uninstall.exe

// The setup program: its window, or with "--install-silent" ["<folder>"] ["--mode" firewall|adapters] the
// same steps without one, into the given folder or else installDir(). A silent run shows nothing: its exit
// code is 0, 3010 (restart to finish), 1 (the message is the machine value LastInstallError), 1638 (a newer
// version is installed), 1618 (another setup or uninstall runs: SetupLock) or 1622 (no --log file).
// With InstallUpdateSwitch the same, and then a box with the failure and its reason, or the new version's
// main window. "--log <file>" anywhere writes the run's steps to the file (install_log.h).
int runSetupProgram(HINSTANCE module);

// Unpacks the carried files into a protected folder and installs them into installDir(), which the
// caller has set to a validated folder; COM is initialised here, on the installing thread. The result
// of installNative (modeChosen as there); a failure is written to LastInstallError and given to `report`.
int installFromPackage(bool firewall, FailureReport report = showInstallError, bool modeChosen = false);

// The setup window; returns when it is closed.
int runSetupWindow();

// Uninstall.exe: "--uninstall" asks first, "--uninstall --quiet" (or any run without an interactive
// desktop) does not and reports only by its exit code: 0, 3010 (restart to finish), 1, 1602 when the user
// declines, 1618 while another setup or uninstall runs, 1622 when the --log file cannot be opened.
int runUninstallerProgram(HINSTANCE module);

}  // namespace calmlane
