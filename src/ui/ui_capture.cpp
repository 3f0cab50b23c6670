// The UI self-test's picture: the client area and its child controls, drawn into a memory bitmap
// through the windows' own print paths and written as a top-down 32-bit BMP file.
#include <cstdint>
#include <vector>

#include "app/handles.h"
#include "ui/ui.h"

namespace calmlane {

namespace {

void put16(std::vector<BYTE>& out, std::uint16_t value) {
    out.push_back(static_cast<BYTE>(value & 0xFF));
    out.push_back(static_cast<BYTE>(value >> 8));
}

void put32(std::vector<BYTE>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<BYTE>((value >> shift) & 0xFF));
}

void drawWindowAndChildren(HWND window, HDC dc) {
    SendMessageW(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    // Each child prints into a bitmap of its own, copied to its place. Moving the viewport origin instead
    // breaks controls that clip their painting in device coordinates (Wine's buttons do).
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        RECT rect = {};
        if (!GetWindowRect(child, &rect)) continue;
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&rect), 2);
        const int width = rect.right - rect.left;
        const int height = rect.bottom - rect.top;
        if (width <= 0 || height <= 0) continue;
        const UniqueDc childDc(CreateCompatibleDC(dc));
        const UniqueGdiObject bitmap(CreateCompatibleBitmap(dc, width, height));
        if (!childDc || !bitmap) continue;
        const ScopedSelection selected(childDc.get(), bitmap.get());
        if (!selected) continue;
        SendMessageW(child, WM_PRINT, reinterpret_cast<WPARAM>(childDc.get()),
                     PRF_CLIENT | PRF_ERASEBKGND | PRF_CHILDREN);
        BitBlt(dc, rect.left, rect.top, width, height, childDc.get(), 0, 0, SRCCOPY);
    }
}

}  // namespace

bool capture(HWND window, const std::wstring& path) {
    RECT client = {};
    if (!GetClientRect(window, &client)) return false;
    const int width = client.right;
    const int height = client.bottom;
    std::vector<BYTE> pixels(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4, 0);

    const BITMAPINFO info = topDownBitmapInfo(width, height);
    bool drawn = pixels.empty();  // an empty client area is drawn as it is
    if (!pixels.empty()) {
        const WindowDc windowDc(window);
        UniqueDc memory(windowDc ? CreateCompatibleDC(windowDc.get()) : nullptr);
        UniqueGdiObject bitmap(windowDc ? CreateCompatibleBitmap(windowDc.get(), width, height) : nullptr);
        if (memory && bitmap) {
            {
                const ScopedSelection selected(memory.get(), bitmap.get());
                if (!selected) return false;
                drawWindowAndChildren(window, memory.get());
            }
            BITMAPINFO query = info;  // GetDIBits may write into the colour table
            drawn = GetDIBits(memory.get(), static_cast<HBITMAP>(bitmap.get()), 0, static_cast<UINT>(height),
                              pixels.data(), &query, DIB_RGB_COLORS) == height;
        }
    }
    // A picture that could not be drawn is not written as a blank one.
    return drawn && writeBitmapFile(path, width, height, pixels.data());
}

bool writeBitmapFile(const std::wstring& path, int width, int height, const void* pixels) {
    if (width < 0 || height < 0 || (width > 0 && height > 0 && pixels == nullptr)) return false;
    const std::size_t bytes = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4;
    std::vector<BYTE> file;
    file.reserve(54 + bytes);
    file.push_back('B');
    file.push_back('M');
    put32(file, static_cast<std::uint32_t>(54 + bytes));
    put16(file, 0);
    put16(file, 0);
    put32(file, 54);
    put32(file, 40);
    put32(file, static_cast<std::uint32_t>(width));
    put32(file, static_cast<std::uint32_t>(-height));
    put16(file, 1);
    put16(file, 32);
    for (int i = 0; i < 6; ++i) put32(file, 0);  // compression, image size, resolutions, colours
    const BYTE* first = static_cast<const BYTE*>(pixels);
    if (bytes > 0) file.insert(file.end(), first, first + bytes);

    bool complete = false;
    {
        const UniqueHandle out(
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) return false;
        DWORD written = 0;
        complete = WriteFile(out.get(), file.data(), static_cast<DWORD>(file.size()), &written, nullptr) &&
                   written == file.size();
    }
    if (!complete) DeleteFileW(path.c_str());  // no half-written picture is left behind
    return complete;
}

}  // namespace calmlane
