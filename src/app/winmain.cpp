// The executable's entry: everything happens in the library.
#include <windows.h>

#include "app/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) { return calmlane::runProcess(instance); }
