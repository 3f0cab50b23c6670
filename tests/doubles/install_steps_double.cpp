// Install-step double: each step is a recorded seam call ("install.step <name>"), so KillAt can end the
// installer or the uninstaller right before it. With StepRenameProbe naming a folder, each step also
// tries to rename that folder away (and back), and appends "<step> renamed", "held" or "missing" to
// StepRenames: what another process could do to the folder at that moment.
#include <string>

#include "doubles/double_store.h"
#include "install/install_steps.h"

namespace calmlane::install_step {

void seam(const wchar_t* step) {
    doubles::enterCall(L"install.step", step);
    const std::wstring probe = doubles::storeString(L"StepRenameProbe");
    if (!probe.empty()) {
        const std::wstring moved = probe + L".moved";
        const wchar_t* outcome = L" held\n";
        if (GetFileAttributesW(probe.c_str()) == INVALID_FILE_ATTRIBUTES) {
            outcome = L" missing\n";
        } else if (MoveFileExW(probe.c_str(), moved.c_str(), 0)) {
            outcome = L" renamed\n";
            MoveFileExW(moved.c_str(), probe.c_str(), 0);
        }
        doubles::storeSetString(L"StepRenames", doubles::storeString(L"StepRenames") + step + outcome);
    }
    doubles::leaveCall();
}

}  // namespace calmlane::install_step
