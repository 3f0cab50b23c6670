#include "saver/saver.h"

#include <shellscalingapi.h>
#include <windowsx.h>

#include <cstring>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "app/constants.h"
#include "app/display_state.h"
#include "app/globals.h"
#include "app/handles.h"
#include "saver/input_watch.h"

namespace calmlane {

namespace {

constexpr UINT_PTR FrameTimer = 1;
constexpr UINT FramePeriodMs = 16;
constexpr std::uint64_t MouseGraceMs = 301;
constexpr DWORD SessionTickMs = 150;
constexpr DWORD WatchdogMs = 1500;

// What CreateWindowEx carries to WM_NCCREATE: a saver on runSaver's stack, or the owner of a heap saver
// that the window takes over (and deletes at WM_NCDESTROY).
struct SaverCreation {
    Saver* saver = nullptr;
    std::unique_ptr<Saver>* owner = nullptr;
};

Saver* saverOf(HWND window) { return reinterpret_cast<Saver*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

std::uint64_t sinceStart(const Saver& saver) { return GetTickCount64() - saver.startTicks; }

RECT virtualScreen() {
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    const int top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    return {left, top, left + GetSystemMetrics(SM_CXVIRTUALSCREEN), top + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
}

bool primaryMonitor(RECT& rect) {
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &info)) return false;
    rect = info.rcMonitor;
    return true;
}

struct Monitors {
    std::vector<RECT> rects;
    std::vector<UINT> dpis;
};

BOOL CALLBACK collectMonitor(HMONITOR monitor, HDC, LPRECT rect, LPARAM context) {
    auto* monitors = reinterpret_cast<Monitors*>(context);
    UINT dpiX = 0, dpiY = 0;
    const bool known = SUCCEEDED(GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpiX, &dpiY)) && dpiX != 0;
    monitors->rects.push_back(*rect);
    monitors->dpis.push_back(known ? dpiX : USER_DEFAULT_SCREEN_DPI);
    return TRUE;
}

// One field per monitor (displays 0) or one for the whole client area, each with its DPI.
void addDisplayFields(Saver& saver) {
    if (saver.parent == nullptr && settings.displays == 0) {
        Monitors monitors;
        EnumDisplayMonitors(nullptr, nullptr, collectMonitor, reinterpret_cast<LPARAM>(&monitors));
        POINT origin = {0, 0};
        ClientToScreen(saver.window, &origin);
        const std::vector<RECT> rects = monitorFields(monitors.rects, origin);
        for (std::size_t i = 0; i < rects.size(); ++i) saver.addField(rects[i], monitors.dpis[i]);
        return;
    }
    RECT client = {};
    GetClientRect(saver.window, &client);
    const UINT dpi = GetDpiForWindow(saver.window);
    saver.addField(client, dpi != 0 ? dpi : USER_DEFAULT_SCREEN_DPI);
}

// Destroys the saver's window once. Destroying the active window activates another one, and the
// activation change it reports must not start a second destruction from inside the first: that
// re-entry makes the activation messages go round for ever and the saver never ends.
void endSaver(Saver& saver) {
    if (saver.ending) return;
    saver.ending = true;
    DestroyWindow(saver.window);
}

void closeOnInput(Saver& saver) {
    if (saver.parent == nullptr) endSaver(saver);
}

// Stops the frame timer while the console display is off and starts it again when it comes back. The
// session thread, not the timer, ends a test run or a saver whose input came back meanwhile.
void onDisplayReport(Saver& saver, const POWERBROADCAST_SETTING& report) {
    const bool running = !saver.displayOff;
    if (framesRunAfter(running, report) == running) return;
    saver.displayOff = running;
    if (saver.displayOff) {
        KillTimer(saver.window, FrameTimer);
        return;
    }
    SetTimer(saver.window, FrameTimer, FramePeriodMs, nullptr);
    InvalidateRect(saver.window, nullptr, FALSE);  // what was on the screen before it went dark is unknown
}

// Returns true when the window was destroyed: the caller must not touch the saver any more.
bool onTimer(Saver& saver) {
    if (saver.embedded) saver.followDensity();
    const bool testOver = saver.testSeconds != 0 &&
                          sinceStart(saver) > static_cast<std::uint64_t>(saver.testSeconds) * 1000;
    if (testOver || (saver.parent != nullptr && !IsWindow(saver.parent))) {
        endSaver(saver);  // an embedded saver is deleted by now
        return true;
    }
    if (!saver.displayOff) {
        // A frame of its own, outside WM_PAINT: only what changed reaches the window.
        const WindowDc dc(saver.window);
        if (dc) saver.frame(dc.get(), false);
    }
    return false;
}

// The pipe thread: watches for input and the parent, and holds the session with the service.
void sessionThread(Saver& saver, HANDLE stopEvent, int testSeconds, std::uint64_t threadStart, HWND parent,
                   HWND window) {
    InputWatch input;
    for (;;) {
        const DWORD waited = WaitForSingleObject(stopEvent, SessionTickMs);
        if (waited == WAIT_OBJECT_0) break;  // the window is gone
        const std::uint64_t now = GetTickCount64();
        bool done = waited != WAIT_TIMEOUT;  // a failed wait ends the saver rather than spin
        if (testSeconds != 0) {
            done = done || now - threadStart > static_cast<std::uint64_t>(testSeconds) * 1000;
        } else if (parent == nullptr) {
            LASTINPUTINFO last = {};
            last.cbSize = sizeof(last);
            const bool read = GetLastInputInfo(&last) != FALSE;
            done = input.ends(now - threadStart, read, last.dwTime) || done;
        }
        if (parent != nullptr && !IsWindow(parent)) done = true;
        if (done) {
            PostMessageW(window, WM_CLOSE, 0, 0);
            // A window thread that does not close in time is hung: end the process so that the
            // service sees the session end and gives the network back.
            if (WaitForSingleObject(stopEvent, WatchdogMs) != WAIT_OBJECT_0) TerminateProcess(GetCurrentProcess(), 0);
            break;
        }
        if (!saver.previewOnly) saver.pipe.step(now);
    }
    saver.pipe.end();
}

void registerClass(const wchar_t* name) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = saverProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = name;
    RegisterClassW(&windowClass);  // already registered is fine
}

// Takes a destroyed window's quit message back out of the queue, so that an error box shown next
// is not closed by it at once.
void dropQuitMessage() {
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}

}  // namespace

HostDpiAwareness::HostDpiAwareness(HWND host) {
    const DPI_AWARENESS_CONTEXT context = host != nullptr ? GetWindowDpiAwarenessContext(host) : nullptr;
    if (context != nullptr) previous_ = SetThreadDpiAwarenessContext(context);  // null: the own one stays
}

HostDpiAwareness::~HostDpiAwareness() {
    if (previous_ != nullptr) SetThreadDpiAwarenessContext(previous_);
}

Saver::Saver() : startTicks(GetTickCount64()) {}
Saver::Saver(std::uint32_t seed) : startTicks(GetTickCount64()), random(seed) {}

void Saver::addField(RECT rect, UINT dpi) {
    StarField field;
    field.rect = rect;
    field.dpi = dpi;
    field.stars.reserve(static_cast<std::size_t>(settings.density));
    for (long i = 0; i < settings.density; ++i) field.stars.push_back(random.newStar());
    fields.push_back(std::move(field));
}

void Saver::followDensity() {
    if (fields.empty()) return;
    std::vector<Star>& stars = fields.front().stars;
    const std::size_t wanted = static_cast<std::size_t>(settings.density < 0 ? 0 : settings.density);
    if (stars.size() > wanted) stars.resize(wanted);
    while (stars.size() < wanted) stars.push_back(random.newStar());
}

void Saver::frameAt(HDC dc, bool fullCopy, std::uint64_t elapsedMs) {
    if (displayOff || fields.empty()) return;
    const FrameSettings frameSettings = {settings.speed, settings.color};
    if (frameSettings.color != lastColor) fullCopy = true;
    lastColor = frameSettings.color;
    pens.beginFrame(frameSettings.color);
    for (StarField& field : fields) {
        RECT rect = field.rect;
        if (parent != nullptr) GetClientRect(window, &rect);
        const int w = rect.right - rect.left;
        const int h = rect.bottom - rect.top;
        if (w <= 0 || h <= 0) continue;
        HDC memory = field.surface.begin(dc, w, h);
        if (memory == nullptr) continue;  // no bitmap for this field this time
        drawStars(memory, field.stars, fieldGeometry(w, h), frameSettings, random, pens, &field.surface.drawn());
        if (parent == nullptr) {
            const std::wstring text = overlayText(previewOnly, pipe.pauseConfirmed());
            field.surface.overlay(drawOverlay(memory, w, h, text, elapsedMs, fonts.font(field.dpi)), text);
        }
        field.surface.present(dc, rect.left, rect.top, fullCopy);
    }
}

void Saver::rebuildDisplays() {
    RECT rect = virtualScreen();
    RECT primary;
    if (settings.displays == 2 && primaryMonitor(primary)) rect = primary;
    if (rect.right <= rect.left || rect.bottom <= rect.top) return;
    SetWindowPos(window, nullptr, rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    fields.clear();
    addDisplayFields(*this);
}

std::vector<RECT> monitorFields(const std::vector<RECT>& monitors, POINT clientOrigin) {
    std::vector<RECT> fieldRects;
    for (RECT rect : monitors) {
        OffsetRect(&rect, -clientOrigin.x, -clientOrigin.y);
        fieldRects.push_back(rect);
    }
    return fieldRects;
}

bool framesRunAfter(bool running, const POWERBROADCAST_SETTING& report) {
    if (!IsEqualGUID(report.PowerSetting, ConsoleDisplayState) || report.DataLength != sizeof(DWORD)) return running;
    DWORD state = 0;
    std::memcpy(&state, report.Data, sizeof(state));
    if (state > 2) return running;
    return state != 0;
}

bool mouseMovedBeyondJitter(POINT start, POINT cursor) {
    return std::abs(cursor.x - start.x) > 4 || std::abs(cursor.y - start.y) > 4;
}

LRESULT CALLBACK saverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* creation = static_cast<SaverCreation*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        Saver* saver = creation->owner ? creation->owner->release() : creation->saver;
        saver->window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(saver));
        return DefWindowProcW(window, message, wParam, lParam);
    }
    Saver* saver = saverOf(window);
    if (saver == nullptr) return DefWindowProcW(window, message, wParam, lParam);

    switch (message) {
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN:
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
    case WM_MBUTTONDOWN:
        closeOnInput(*saver);
        return 0;
    case WM_MOUSEMOVE: {
        if (saver->parent != nullptr || saver->testSeconds != 0 || sinceStart(*saver) < MouseGraceMs) return 0;
        // Screen coordinates: the window may start left of or above the primary monitor.
        POINT cursor = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        ClientToScreen(window, &cursor);
        if (mouseMovedBeyondJitter(saver->startCursor, cursor)) endSaver(*saver);
        return 0;
    }
    case WM_ACTIVATE:
        if (saver->previewOnly && saver->parent == nullptr && saver->testSeconds == 0 &&
            LOWORD(wParam) == WA_INACTIVE && sinceStart(*saver) >= InputGraceMs) {
            endSaver(*saver);
        }
        return 0;
    case WM_CLOSE:
        endSaver(*saver);
        return 0;
    case WM_TIMER:
        if (wParam == FrameTimer) onTimer(*saver);  // the saver may be gone after this
        return 0;
    case WM_PAINT: {
        const PaintScope paint(window);
        if (paint.get() != nullptr) saver->frame(paint.get(), true);  // uncovered: the pixels are unknown
        return 0;
    }
    case WM_PRINTCLIENT:
        saver->frame(reinterpret_cast<HDC>(wParam), true);
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_SETCURSOR:
        if (saver->parent != nullptr) break;
        SetCursor(nullptr);
        return TRUE;
    case WM_DISPLAYCHANGE:
    case WM_DPICHANGED:  // a scale changed: the fields take the new DPIs; the window keeps covering the screens
        if (saver->parent == nullptr) saver->rebuildDisplays();
        return 0;
    case WM_POWERBROADCAST:
        if (wParam == PBT_POWERSETTINGCHANGE && lParam != 0) {
            onDisplayReport(*saver, *reinterpret_cast<const POWERBROADCAST_SETTING*>(lParam));
        }
        return TRUE;
    case WM_DESTROY:
        KillTimer(window, FrameTimer);
        if (saver->powerNotification != nullptr) {
            UnregisterPowerSettingNotification(saver->powerNotification);
            saver->powerNotification = nullptr;
        }
        if (!saver->embedded) PostQuitMessage(0);
        return 0;
    case WM_NCDESTROY:
        if (saver->embedded) {
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            delete saver;
        }
        break;
    default:
        break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void runSaver(HWND parent, bool previewOnly, int testSeconds) {
    const HostDpiAwareness awareness(parent);
    Saver saver;
    saver.parent = parent;
    saver.previewOnly = parent != nullptr || previewOnly;
    saver.testSeconds = testSeconds;
    GetCursorPos(&saver.startCursor);
    registerClass(SaverClass);

    RECT rect = {};
    DWORD style = WS_POPUP | WS_VISIBLE;
    DWORD extendedStyle = WS_EX_TOOLWINDOW | WS_EX_TOPMOST;  // above always-on-top windows too
    if (parent != nullptr) {
        GetClientRect(parent, &rect);
        style = WS_CHILD | WS_VISIBLE;
        extendedStyle = 0;
    } else {
        rect = virtualScreen();
        RECT primary;
        if (settings.displays == 2 && primaryMonitor(primary)) rect = primary;
    }
    SaverCreation creation;
    creation.saver = &saver;
    HWND window = CreateWindowExW(extendedStyle, SaverClass, Product, style, rect.left, rect.top,
                                  rect.right - rect.left, rect.bottom - rect.top, parent, nullptr, instance, &creation);
    if (window == nullptr) return;
    addDisplayFields(saver);
    if (saver.fields.empty()) {
        DestroyWindow(window);
        dropQuitMessage();
        return;
    }
    if (parent == nullptr) {
        saver.powerNotification = RegisterPowerSettingNotification(window, &ConsoleDisplayState,
                                                                   DEVICE_NOTIFY_WINDOW_HANDLE);
        SetForegroundWindow(window);
        SetFocus(window);
    }
    SetTimer(window, FrameTimer, FramePeriodMs, nullptr);

    UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const std::uint64_t threadStart = GetTickCount64();
    std::thread session;
    try {
        if (!stopEvent) throw std::system_error(static_cast<int>(GetLastError()), std::system_category());
        session = std::thread(sessionThread, std::ref(saver), stopEvent.get(), testSeconds, threadStart, parent,
                              window);
    } catch (const std::system_error&) {
        // The window (its timer and display registration with it) goes before the error is shown.
        DestroyWindow(window);
        dropQuitMessage();
        throw std::runtime_error("thread constructor failed");
    }

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    SetEvent(stopEvent.get());
    session.join();
}

HWND createEmbeddedPreview(HWND parent, int x, int y, int width, int height) {
    registerClass(EmbeddedPreviewClass);
    auto owner = std::make_unique<Saver>();
    owner->parent = parent;
    owner->embedded = true;
    owner->previewOnly = true;
    owner->addField(RECT{0, 0, width, height});
    SaverCreation creation;
    creation.owner = &owner;  // WM_NCCREATE takes it; if creation fails before, it is freed here
    HWND window = CreateWindowExW(0, EmbeddedPreviewClass, L"", WS_CHILD | WS_VISIBLE, x, y, width, height, parent,
                                  nullptr, instance, &creation);
    if (window == nullptr) return nullptr;
    SetTimer(window, FrameTimer, FramePeriodMs, nullptr);
    return window;
}

}  // namespace calmlane
