#pragma once
// A page of the main window created in the test's own thread, and the message pump that drives it.
#include <windows.h>

#include <string>

#include "app/globals.h"
#include "app/settings.h"
#include "support/process.h"
#include "ui/ui.h"

namespace calmlane::test {

// A page of the window, owned by a hidden window so that closing it never posts WM_QUIT.
struct PageWindow {
    explicit PageWindow(int page, int width = 1000, int height = 850) {
        instance = GetModuleHandleW(nullptr);
        settings.load();
        snapshotUpdateVersion = L"0";  // no silent update check from the tests
        owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, instance, nullptr);
        ui.page = page;
        ui.snapshot = settings;
        createUi(ui, owner);
        resize(width, height);
    }
    ~PageWindow() {
        if (ui.window) DestroyWindow(ui.window);
        DestroyWindow(owner);
        snapshotUpdateVersion.clear();
        pump();
    }
    void resize(int width, int height) {
        SetWindowPos(ui.window, nullptr, 0, 0, width, height, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
        pump();
    }
    RECT rectOf(int id) const {
        for (std::size_t i = 0; i < ui.controls.size(); ++i) {
            if (GetDlgCtrlID(ui.controls[i]) == id) return ui.controlRects[i];
        }
        return RECT{-1, -1, -1, -1};
    }
    // Where a control shows, in the window's client coordinates.
    RECT shownRect(HWND control) const {
        RECT r = {};
        GetWindowRect(control, &r);
        MapWindowPoints(nullptr, ui.window, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }
    // A painted label or a static control (captions, the status card) shows the text.
    bool hasLabel(const std::wstring& text) const {
        for (const Label& label : ui.labels) {
            if (label.text.find(text) != std::wstring::npos) return true;
        }
        for (HWND control : ui.controls) {
            const int id = GetDlgCtrlID(control);
            if ((id == Caption || id == StatusCard) && windowText(control).find(text) != std::wstring::npos) return true;
        }
        return false;
    }
    void command(int id, int code = BN_CLICKED) {
        SendMessageW(ui.window, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(GetDlgItem(ui.window, id)));
        pump();
    }
    HWND owner = nullptr;
    Ui ui;
};

}  // namespace calmlane::test
