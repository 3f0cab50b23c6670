// The process-wide state and the command line: kept apart from the role dispatch so that the companion
// programs, which need only these, do not link the whole product.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/globals.h"
#include "app/handles.h"

namespace calmlane {

HINSTANCE instance = nullptr;
Settings settings;
int requestedPage = 0;
HWND settingsDialog = nullptr;
bool quitAfterTest = false;
std::wstring snapshotPath;
std::wstring snapshotUpdateVersion;

std::vector<std::wstring> commandLineArguments() {
    std::vector<std::wstring> args;
    int count = 0;
    UniqueLocal memory(reinterpret_cast<HLOCAL>(CommandLineToArgvW(GetCommandLineW(), &count)));
    if (!memory) return args;  // treated as no argument
    wchar_t** argv = reinterpret_cast<wchar_t**>(memory.get());
    args.assign(argv, argv + count);
    return args;
}

}  // namespace calmlane
