#pragma once
// Named points between the steps of the installer and the uninstaller. Each is written to the run's log
// (install_log.h) and passed to the seam: the product does nothing there
// (platform/install_steps_windows.cpp); the test build's double records each point and can end the
// process at one, as a kill or a power loss would, so that tests can check what a second run repairs.
namespace calmlane::install_step {

void reached(const wchar_t* step);
void seam(const wchar_t* step);

}  // namespace calmlane::install_step
