#pragma once
// "--log <file>" of the setup program and the uninstaller: when the run began, each step with the time it
// ended and its outcome, a failure's reason and the exit code, appended to the file as UTF-8 lines. The
// file is opened once, by the path as the caller gave it (relative to the caller's folder), so that
// nothing the run moves changes where the lines go.
#include <string>
#include <vector>

namespace calmlane::install_log {

// Takes "--log <file>" out of `args` (anywhere after the program) and opens the file for appending. False
// when "--log" has no file after it or the file cannot be opened; true otherwise, also without "--log".
bool openFromArguments(std::vector<std::wstring>& args);

// The step under way is done, and `step` begins (install_step::reached calls it).
void begin(const wchar_t* step);

// The step under way failed for `reason` (recordInstallFailure calls it).
void fail(const char* reason);

// The run ends with `exitCode`; a step still under way is done.
void end(int exitCode);

}  // namespace calmlane::install_log
