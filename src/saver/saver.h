#pragma once
// The screen saver: one window over the displays (or inside a preview area), its star fields, and the
// session it holds with the service while it runs.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "saver/pipe_client.h"
#include "saver/star_field.h"

namespace calmlane {

inline constexpr const wchar_t* SaverClass = L"Calmlane.Native.Saver";
inline constexpr const wchar_t* EmbeddedPreviewClass = L"Calmlane.Native.EmbeddedPreview";

struct Saver {
    Saver();
    explicit Saver(std::uint32_t seed);  // a fixed picture, for tests and benchmarks
    Saver(const Saver&) = delete;
    Saver& operator=(const Saver&) = delete;

    // dpi: of the monitor the field covers, for the overlay's font.
    void addField(RECT rect, UINT dpi = USER_DEFAULT_SCREEN_DPI);
    // Advances and draws one frame. fullCopy: the window's pixels are unknown (a paint, a print), so the
    // whole picture is copied; otherwise only what changed since the last frame.
    void frame(HDC dc, bool fullCopy) { frameAt(dc, fullCopy, GetTickCount64() - startTicks); }
    void frameAt(HDC dc, bool fullCopy, std::uint64_t elapsedMs);
    void rebuildDisplays();
    // The embedded preview's star count follows the density setting.
    void followDensity();

    HWND window = nullptr;
    HWND parent = nullptr;
    bool previewOnly = true;
    bool displayOff = false;
    bool ending = false;  // its window is being destroyed
    HPOWERNOTIFY powerNotification = nullptr;
    bool embedded = false;
    int testSeconds = 0;
    std::uint64_t startTicks = 0;
    PipeClient pipe{startTicks};  // the session with the service, unless previewOnly
    POINT startCursor{};
    std::vector<StarField> fields;
    COLORREF lastColor = CLR_INVALID;  // a new colour repaints everything
    StarRandom random;
    PenCache pens;
    OverlayFonts fonts;
};

// The "/p" preview runs with the awareness of the window that hosts it (Windows' own dialog, in another
// process): its child window takes the host's awareness, and the thread that sizes and draws it must
// agree. The thread's own awareness comes back when this ends.
class HostDpiAwareness {
public:
    explicit HostDpiAwareness(HWND host);
    ~HostDpiAwareness();
    HostDpiAwareness(const HostDpiAwareness&) = delete;
    HostDpiAwareness& operator=(const HostDpiAwareness&) = delete;

private:
    DPI_AWARENESS_CONTEXT previous_ = nullptr;
};

LRESULT CALLBACK saverProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Runs the saver until its window is gone.
void runSaver(HWND parent, bool previewOnly, int testSeconds);

// The live preview of the customise page: a child window that owns its Saver.
HWND createEmbeddedPreview(HWND parent, int x, int y, int width, int height);

// Per-monitor fields: each monitor's screen rectangle in the client coordinates of a window whose
// client area starts at clientOrigin (screen coordinates).
std::vector<RECT> monitorFields(const std::vector<RECT>& monitors, POINT clientOrigin);

// Whether the saver's frames run after a power-setting report. The console display off stops them (a
// dark screen is not drawn, nor kept awake by drawing); on or dimmed runs them again. A report of another
// setting, of another size or of an unknown state leaves them as they were.
bool framesRunAfter(bool running, const POWERBROADCAST_SETTING& report);

// Whether mouse movement to `cursor` (screen coordinates) is beyond the 4-pixel jitter allowed around `start`.
bool mouseMovedBeyondJitter(POINT start, POINT cursor);

}  // namespace calmlane
