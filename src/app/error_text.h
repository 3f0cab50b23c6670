#pragma once
// Windows' own words for an error code, as the service's log and the installer's boxes show them.
#include <string>

namespace calmlane {

// The system's text for a Windows error code, followed by " (code)"; "Windows error" when unknown.
std::wstring errorText(unsigned long code);

}  // namespace calmlane
