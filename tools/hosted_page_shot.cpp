// UI gallery helper: opens the customise page as the "Settings…" button of Windows' screen saver dialog
// does ("/c <hwnd>"), owned by a stand-in dialog of this process, and writes its picture with the
// product's capture. Usage: hosted_page_shot LANGUAGE FILE
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "app/globals.h"
#include "ui/ui.h"

namespace {

std::wstring picturePath;

void CALLBACK shoot(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    HWND page = FindWindowW(calmlane::UiClass, nullptr);
    if (page == nullptr) return;
    calmlane::capture(page, picturePath);
    PostMessageW(page, WM_CLOSE, 0, 0);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using namespace calmlane;
    if (argc != 3) return 2;
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES | ICC_BAR_CLASSES};
    InitCommonControlsEx(&controls);
    instance = GetModuleHandleW(nullptr);
    settings.load();
    settings.language = static_cast<unsigned long>(std::clamp(_wtoi(argv[1]), 0, 5));
    picturePath = argv[2];
    HWND dialog = CreateWindowExW(0, L"STATIC", L"Screen Saver Settings", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10, nullptr,
                                  nullptr, instance, nullptr);
    if (dialog == nullptr || !SetTimer(nullptr, 0, 1500, shoot)) return 1;
    settingsDialog = dialog;
    showPage(dialog, 1);
    DestroyWindow(dialog);
    return GetFileAttributesW(picturePath.c_str()) == INVALID_FILE_ATTRIBUTES ? 1 : 0;
}
