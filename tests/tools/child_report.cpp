// Runs a program, reads and dismisses each message box it shows, and prints what happened.
// Used by the run script to show a role's outcome on a console.
#include <cstdio>
#include <string>

#include "support/process.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputws(L"usage: child_report PROGRAM [ARGUMENTS...]\n", stderr);
        return 2;
    }
    std::wstring arguments;
    for (int i = 2; i < argc; ++i) arguments += (i > 2 ? L" " : L"") + std::wstring(argv[i]);
    const auto result = calmlane::test::runChild(argv[1], arguments, 120000);
    for (const auto& box : result.boxes) {
        std::wprintf(L"  message box \"%ls\": %ls\n", box.caption.c_str(), box.text.c_str());
    }
    if (!result.finished) {
        std::wprintf(L"  still running after 120 s; stopped\n");
        return 1;
    }
    std::wprintf(L"  exit code %lu\n", result.exitCode);
    return 0;
}
