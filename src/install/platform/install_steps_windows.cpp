// The product's side of the install-step seam: nothing happens between the steps.
#include "install/install_steps.h"

namespace calmlane::install_step {

void seam(const wchar_t*) {}

}  // namespace calmlane::install_step
