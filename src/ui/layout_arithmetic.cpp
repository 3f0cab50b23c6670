#include "ui/layout_arithmetic.h"

#include <algorithm>

namespace calmlane {

namespace {

struct PageSize {
    int width, height;
};
constexpr PageSize PageSizes[] = {{1000, 850}, {1000, 780}, {780, 780}, {780, 780}};

}  // namespace

bool busyControl(int id) {
    return (id >= EnableButton && id <= LanguageBox) || id == NetworkModeButton || id == ConfigurationButton ||
           id == RestoreButton || id == UpdateButton;
}

int scaled(double dips, double scale) { return static_cast<int>(dips * scale); }

PixelRect initialWindowRect(int page, double scale, const PixelRect& workArea) {
    const PageSize size = PageSizes[std::clamp(page, 0, 3)];
    const int areaWidth = workArea.right - workArea.left;
    const int areaHeight = workArea.bottom - workArea.top;
    const int width = std::min(scaled(size.width, scale), areaWidth - 30);
    const int height = std::min(scaled(size.height, scale), areaHeight - 30);
    const int left = workArea.left + (areaWidth - width) / 2;
    const int top = workArea.top + (areaHeight - height) / 2;
    return PixelRect{left, top, left + width, top + height};
}

PixelRect fittedWindowRect(const PixelRect& window, int frameHeight, int contentHeight, double scale,
                           const PixelRect& workArea) {
    const int areaHeight = workArea.bottom - workArea.top;
    const int height = std::min(frameHeight + contentHeight + scaled(8, scale), areaHeight - 30);
    const int top = workArea.top + (areaHeight - height) / 2;
    return PixelRect{window.left, top, window.right, top + height};
}

int scrollToShow(int scroll, int top, int bottom, int pageHeight, int margin) {
    if (top - margin < scroll) return std::max(0, top - margin);
    if (bottom + margin > scroll + pageHeight) return std::max(0, std::min(bottom + margin - pageHeight, top - margin));
    return scroll;
}

int enterTarget(int page, int focusedButton) {
    if (focusedButton != 0) return focusedButton;
    switch (page) {
    case 1:
        return SaveButton;
    case 2:
        return ContinueButton;
    case 3:
        return CancelButton;  // "Close"
    default:
        return 0;
    }
}

}  // namespace calmlane
