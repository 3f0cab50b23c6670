// The embedded preview on this thread, as the customise page hosts it.
#include <gtest/gtest.h>

#include <cmath>

#include "app/globals.h"
#include "saver/saver.h"
#include "support/gdi_probe.h"
#include "support/process.h"

namespace calmlane {
namespace {

class EmbeddedPreview : public ::testing::Test {
protected:
    void SetUp() override {
        instance = GetModuleHandleW(nullptr);
        settings = Settings();
        host = test::createProbeWindow(L"CalmlanePreviewHost", DefWindowProcW, WS_OVERLAPPEDWINDOW, 640, 480);
        ASSERT_NE(host, nullptr);
    }
    void TearDown() override {
        if (IsWindow(host)) DestroyWindow(host);
        settings = Settings();
    }
    static Saver* saverOf(HWND window) {
        return reinterpret_cast<Saver*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    HWND host = nullptr;
};

TEST_F(EmbeddedPreview, StarCountFollowsTheDensityAtTheNextTick) {
    HWND preview = createEmbeddedPreview(host, 10, 10, 300, 200);
    ASSERT_NE(preview, nullptr);
    Saver* saver = saverOf(preview);
    ASSERT_NE(saver, nullptr);
    EXPECT_TRUE(saver->embedded);
    EXPECT_TRUE(saver->previewOnly);
    ASSERT_EQ(saver->fields.size(), 1u);
    ASSERT_EQ(saver->fields[0].stars.size(), 260u);
    const std::vector<Star> first = saver->fields[0].stars;

    settings.density = 600;
    SendMessageW(preview, WM_TIMER, 1, 0);
    ASSERT_EQ(saver->fields[0].stars.size(), 600u);
    settings.density = 40;
    SendMessageW(preview, WM_TIMER, 1, 0);
    ASSERT_EQ(saver->fields[0].stars.size(), 40u);
    // The stars kept are the first ones, moved on by two frames; a star reborn on the way starts anew
    // at the far end, with another depth.
    const float twoFrames = 2 * 0.0013f * static_cast<float>(settings.speed);
    int kept = 0;
    for (int i = 0; i < 40; ++i) {
        const Star& star = saver->fields[0].stars[i];
        if (std::abs(first[i].z - twoFrames - star.z) > 1e-5f) continue;
        ++kept;
        EXPECT_EQ(star.x, first[i].x);
        EXPECT_EQ(star.y, first[i].y);
    }
    EXPECT_GT(kept, 0);  // a fresh field has many stars outside the view: those are reborn at once
}

TEST_F(EmbeddedPreview, InputDoesNotCloseItAndTheHostTakesItAlong) {
    HWND preview = createEmbeddedPreview(host, 0, 0, 200, 100);
    ASSERT_NE(preview, nullptr);
    SendMessageW(preview, WM_KEYDOWN, VK_ESCAPE, 0);
    SendMessageW(preview, WM_LBUTTONDOWN, 0, MAKELPARAM(5, 5));
    SendMessageW(preview, WM_MOUSEMOVE, 0, MAKELPARAM(150, 90));
    SendMessageW(preview, WM_ACTIVATE, WA_INACTIVE, 0);
    EXPECT_TRUE(IsWindow(preview));
    // The frames follow the window's size: after a resize, stars are drawn where the old size ended.
    ShowWindow(host, SW_SHOWNOACTIVATE);
    Saver* saver = saverOf(preview);
    SetWindowPos(preview, nullptr, 0, 0, 320, 240, SWP_NOZORDER | SWP_NOMOVE);
    settings.density = 600;
    test::PixelSurface shown(320, 240);
    int beyondOldSize = 0;
    for (int tick = 0; tick < 20 && beyondOldSize == 0; ++tick) {
        SendMessageW(preview, WM_TIMER, 1, 0);
        HDC dc = GetDC(preview);
        BitBlt(shown.dc(), 0, 0, 320, 240, dc, 0, 0, SRCCOPY);
        ReleaseDC(preview, dc);
        GdiFlush();
        for (int y = 0; y < 240; ++y) {
            for (int x = 0; x < 320; ++x) beyondOldSize += (x >= 200 || y >= 100) && shown.pixel(x, y) != RGB(0, 0, 0);
        }
    }
    EXPECT_GT(beyondOldSize, 0);
    EXPECT_EQ(saver->fields[0].stars.size(), 600u);
    DestroyWindow(host);  // frees the saver with the window, and posts no quit message
    EXPECT_FALSE(IsWindow(preview));
    MSG message;
    EXPECT_FALSE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

// Windows' dialog hosts the "/p" preview, from another process with an awareness of its own.
TEST_F(EmbeddedPreview, AHostedPreviewRunsWithTheDpiAwarenessOfItsHost) {
    const DPI_AWARENESS_CONTEXT own = SetThreadDpiAwarenessContext(DPI_AWARENESS_CONTEXT_SYSTEM_AWARE);
    ASSERT_NE(own, nullptr);
    HWND dialog = CreateWindowExW(0, L"CalmlanePreviewHost", L"dialog", WS_OVERLAPPEDWINDOW, 0, 0, 200, 150,
                                  nullptr, nullptr, instance, nullptr);
    SetThreadDpiAwarenessContext(own);
    ASSERT_NE(dialog, nullptr);
    ASSERT_FALSE(AreDpiAwarenessContextsEqual(own, DPI_AWARENESS_CONTEXT_SYSTEM_AWARE));
    {
        const HostDpiAwareness preview(dialog);
        EXPECT_TRUE(AreDpiAwarenessContextsEqual(GetThreadDpiAwarenessContext(), DPI_AWARENESS_CONTEXT_SYSTEM_AWARE));
    }
    EXPECT_TRUE(AreDpiAwarenessContextsEqual(GetThreadDpiAwarenessContext(), own));
    DestroyWindow(dialog);
}

TEST_F(EmbeddedPreview, AWindowThatCannotBeCreatedGivesNull) {
    EXPECT_EQ(createEmbeddedPreview(reinterpret_cast<HWND>(0x12345), 0, 0, 10, 10), nullptr);
}

}  // namespace
}  // namespace calmlane
