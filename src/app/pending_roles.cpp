// Roles not built yet: each says so through the role handler's message box.
#include <stdexcept>

#include "app/roles.h"

namespace calmlane {

namespace {

[[noreturn]] void notAvailable() { throw std::runtime_error("This feature is not available in this build."); }

}  // namespace

int runWindow() { notAvailable(); }

}  // namespace calmlane
