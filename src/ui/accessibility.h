#pragma once
// The high-contrast setting behind a seam: Wine cannot switch high contrast on, so test builds link a
// double that the test prefix's registry can force (tests/doubles). The product links
// platform/accessibility_windows.cpp.
namespace calmlane::accessibility {

// Whether the user has high contrast on (SPI_GETHIGHCONTRAST, HCF_HIGHCONTRASTON).
bool highContrast();

}  // namespace calmlane::accessibility
