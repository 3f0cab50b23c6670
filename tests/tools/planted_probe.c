/* Imports the planted DLL as version.dll, as a program that trusts its own folder would: shows that a
   DLL planted there does get loaded under the test's DLL overrides. A GUI program: no console to set up. */
#include <windows.h>

__declspec(dllimport) int plantedProbe(void);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int show) {
    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)show;
    return plantedProbe();
}
