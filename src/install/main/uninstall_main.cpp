// Entry of Uninstall.exe: everything happens in the library.
#include <windows.h>

#include "install/programs.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return calmlane::runUninstallerProgram(instance); }
