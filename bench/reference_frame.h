#pragma once
// The star-field frame drawn the straightforward way: a new off-screen bitmap every frame and a new pen
// for every star. The production frame must give exactly the same pixels, faster.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "saver/star_field.h"

namespace calmlane::reference {

// Draws one frame of a field at rect into dc and advances its stars. overlay: null for none, written in font.
void frame(HDC dc, RECT rect, std::vector<Star>& stars, const FrameSettings& settings, StarRandom& random,
           const std::wstring* overlay, std::uint64_t elapsedMs, HFONT font);

}  // namespace calmlane::reference
