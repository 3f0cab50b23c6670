// The executable's entry: everything happens in the library.
#include <windows.h>

#include "main/entry.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // Every DLL loaded from here on comes from System32, never from the folder the program started in.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return 1;
    return calmlane::runProcess(instance);
}
