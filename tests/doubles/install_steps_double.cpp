// Install-step double: each step is a recorded seam call ("install.step <name>"), so KillAt can end the
// installer or the uninstaller right before it.
#include <string>

#include "doubles/double_store.h"
#include "install/install_steps.h"

namespace calmlane::install_step {

void reached(const wchar_t* step) {
    doubles::enterCall(L"install.step", step);
    doubles::leaveCall();
}

}  // namespace calmlane::install_step
