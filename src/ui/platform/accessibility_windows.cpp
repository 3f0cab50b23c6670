#include <windows.h>

#include "ui/accessibility.h"

namespace calmlane::accessibility {

bool highContrast() {
    HIGHCONTRASTW contrast = {sizeof(contrast), 0, nullptr};
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

}  // namespace calmlane::accessibility
