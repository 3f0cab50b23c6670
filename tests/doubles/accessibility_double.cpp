// High-contrast double: Wine cannot switch high contrast on, so "HighContrast" in the store forces the
// answer (1 on, 0 off); absent, Windows answers. Read on every layout, so not counted as a seam call.
#include <windows.h>

#include "doubles/double_store.h"
#include "ui/accessibility.h"

namespace calmlane::accessibility {

bool highContrast() {
    constexpr DWORD Unset = 0xFFFFFFFF;
    const DWORD forced = doubles::storeDword(L"HighContrast", Unset);
    if (forced != Unset) return forced != 0;
    HIGHCONTRASTW contrast = {sizeof(contrast), 0, nullptr};
    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof(contrast), &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
}

}  // namespace calmlane::accessibility
