#pragma once
// The two companion programs over the installation routines: "Calmlane Setup.exe" and Uninstall.exe.
#include <windows.h>

#include <string>

namespace calmlane {

// Resource ids (RT_RCDATA) of the files that the setup program carries.
inline constexpr int PayloadExecutable = 101;   // installed as Calmlane.exe and Calmlane.scr
inline constexpr int PayloadUninstaller = 102;  // installed as Uninstall.exe

// The setup program: its window, or with "--install-silent" "<folder>" the same steps without one.
int runSetupProgram(HINSTANCE module);

// Unpacks the carried files into a protected folder and installs them into installDir(), which the
// caller has set to a validated folder; COM is initialised here, on the installing thread. 0 or 1.
int installFromPackage(bool firewall);

// The setup window; returns when it is closed.
int runSetupWindow();

// Uninstall.exe: "--uninstall" asks first, "--uninstall --quiet" does not and reports only by its exit code.
int runUninstallerProgram(HINSTANCE module);

}  // namespace calmlane
