#pragma once
// The screen saver: one window over the displays (or inside a preview area), its star fields, and the
// session it holds with the service while it runs.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "app/handles.h"
#include "saver/connection_rules.h"
#include "saver/star_field.h"

namespace calmlane {

inline constexpr const wchar_t* SaverClass = L"Calmlane.Native.Saver";
inline constexpr const wchar_t* EmbeddedPreviewClass = L"Calmlane.Native.EmbeddedPreview";

struct Saver {
    Saver();
    explicit Saver(std::uint32_t seed);  // a fixed picture, for tests and benchmarks
    ~Saver();                            // an open pipe gets "STOP" and is closed
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
    UniqueHandle pipe;
    bool previewOnly = true;
    bool displayOff = false;
    bool ending = false;  // its window is being destroyed
    std::atomic<bool> pauseConfirmed{false};
    HPOWERNOTIFY powerNotification = nullptr;
    bool embedded = false;
    int testSeconds = 0;
    std::uint64_t startTicks = 0;
    std::uint64_t lastPipeTicks = 0;
    ConnectionRules rules{startTicks};
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

// Writes one word to a non-blocking pipe. A full pipe takes none of it and still reports success.
enum class PipeWrite { Sent, Full, Failed };
PipeWrite writePipeWord(HANDLE pipe, std::string_view word);

// One client step of the session with the service (the saver's pipe thread calls it every 500 ms or more).
void pipeStep(Saver& saver, std::uint64_t now);
// Ends the session: "STOP" when connected, then close; the pause is no longer confirmed.
void endPipeSession(Saver& saver);

}  // namespace calmlane
