#pragma once
// The process's own command line, as every program of the product reads it.
#include <string>
#include <vector>

namespace calmlane {

// The process command line split as Windows does (CommandLineToArgvW); empty when it cannot be split.
std::vector<std::wstring> commandLineArguments();

}  // namespace calmlane
