#pragma once
// Shared state of the platform doubles, kept in the test prefix's registry so that it is the same for
// an in-process test and for the test variant running as a service, and survives a killed process.
//
// HKLM "SOFTWARE\CalmlaneTest":
//   Calls        REG_SZ   every seam call, one line each ("wfp.filterAdd layer={...} ..."), appended
//   CallCount    DWORD    seam calls made so far (all doubles together)
//   FailCall     REG_SZ   name of a seam call to fail, e.g. "wfp.filterAdd" or "adapter.disableNode"
//   FailCode     DWORD    the code that call returns (default 5)
//   FailSkip     DWORD    matching calls that still succeed before the failures start (default 0)
//   FailTimes    DWORD    how many times it fails before succeeding again (default 0: for good)
//   SlowCall     REG_SZ   name of a seam call that is slow, as FailCall names it
//   SlowMs       DWORD    how long each matching call sleeps before it runs
//   KillAt       DWORD    CallCount value at which the process terminates itself (0: never); cleared first
//   KillAfter    DWORD    1: terminate after performing that call, 0: before it
//   OpenEngines  DWORD    filtering-platform engines opened and not closed (a killed process never closes)
//   EngineProcess DWORD   the process that opened the last engine
//   SessionState DWORD    terminal-services connect state reported for every session (default 0, active)
//   SessionQueryFails DWORD 1: the session-state query fails
//   ConsoleDisplay DWORD  console display state handed to the service's control handler on each change
//   HighContrast DWORD    1: high contrast is on, 0: off; absent: Windows answers (accessibility_double.cpp)
//   StepRenameProbe REG_SZ a folder each install step tries to rename away and back (install_steps_double.cpp)
//   StepRenames  REG_SZ   what that gave, one line per step: "<step> renamed", "held" or "missing"
// Key "SOFTWARE\CalmlaneTest\Adapters\<n>" holds one simulated adapter (see adapter_double.cpp).
#include <windows.h>

#include <string>

namespace calmlane::doubles {

inline constexpr const wchar_t* StoreKey = L"SOFTWARE\\CalmlaneTest";

DWORD storeDword(const wchar_t* name, DWORD fallback);
void storeSetDword(const wchar_t* name, DWORD value);
std::wstring storeString(const wchar_t* name);
void storeSetString(const wchar_t* name, const std::wstring& value);

// Counts and records one seam call; returns the failure code configured for it, or 0.
// Also terminates the process here when told to (before the call).
DWORD enterCall(const wchar_t* call, const std::wstring& details);
// Terminates the process here when told to kill after the call just performed.
void leaveCall();

}  // namespace calmlane::doubles
