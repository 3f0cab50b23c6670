#pragma once
// Process start-up and role dispatch behind wWinMain.
#include <windows.h>

#include <functional>

#include "main/dispatch.h"

namespace calmlane {

using ErrorReporter = void (*)(const char* message);

// Shows a role's failure: one owner-less error box captioned "Calmlane Native".
void showRoleError(const char* message);

// Runs a role; an exception becomes one report and exit code 1.
int runGuarded(const std::function<int()>& role, ErrorReporter report = showRoleError);

// Carries out a decided role with the process globals already set.
int runRole(const Dispatch& dispatch);

// The whole process: the role that the command line decides, then only the start-up steps it uses, and the
// role itself, guarded.
int runProcess(HINSTANCE module);

}  // namespace calmlane
