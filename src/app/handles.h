#pragma once
// Scoped ownership of Windows handles: one wrapper template, one traits type per handle kind.
#include <windows.h>

#include <utility>

namespace calmlane {

template <typename Traits>
class Unique {
public:
    using Type = typename Traits::Type;

    Unique() noexcept = default;
    explicit Unique(Type value) noexcept : value_(value) {}
    Unique(const Unique&) = delete;
    Unique& operator=(const Unique&) = delete;
    Unique(Unique&& other) noexcept : value_(other.release()) {}
    Unique& operator=(Unique&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~Unique() { reset(); }

    Type get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return Traits::valid(value_); }
    Type release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(Type value = Traits::invalid()) noexcept {
        Type old = std::exchange(value_, value);
        if (Traits::valid(old)) Traits::close(old);
    }
    // For out-parameters: releases what is held and exposes the slot.
    Type* put() noexcept {
        reset();
        return &value_;
    }

private:
    Type value_ = Traits::invalid();
};

// Kernel objects. Both null and INVALID_HANDLE_VALUE mean "nothing", since the API uses either.
struct KernelHandleTraits {
    using Type = HANDLE;
    static Type invalid() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr && h != INVALID_HANDLE_VALUE; }
    static void close(Type h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = Unique<KernelHandleTraits>;

// A handle kind whose "nothing" is null and that one function closes.
template <typename T, auto Close>
struct NullTraits {
    using Type = T;
    static Type invalid() noexcept { return nullptr; }
    static bool valid(Type h) noexcept { return h != nullptr; }
    static void close(Type h) noexcept { Close(h); }
};

using UniqueKey = Unique<NullTraits<HKEY, ::RegCloseKey>>;
using UniqueModule = Unique<NullTraits<HMODULE, ::FreeLibrary>>;
using UniqueLocal = Unique<NullTraits<HLOCAL, ::LocalFree>>;
using UniqueServiceHandle = Unique<NullTraits<SC_HANDLE, ::CloseServiceHandle>>;
using UniqueEventSource = Unique<NullTraits<HANDLE, ::DeregisterEventSource>>;
// GDI objects (pens, brushes, bitmaps, fonts): select them out of every DC before they go.
using UniqueGdiObject = Unique<NullTraits<HGDIOBJ, ::DeleteObject>>;
// Memory device contexts made with CreateCompatibleDC.
using UniqueDc = Unique<NullTraits<HDC, ::DeleteDC>>;
// Icons made with CreateIconIndirect (not shared icons from LoadIconW).
using UniqueIcon = Unique<NullTraits<HICON, ::DestroyIcon>>;

using UniqueMenu = Unique<NullTraits<HMENU, ::DestroyMenu>>;

// Selects a GDI object into a DC for one scope and puts the previous one back.
class ScopedSelection {
public:
    ScopedSelection(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~ScopedSelection() {
        if (previous_ != nullptr && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
    }
    ScopedSelection(const ScopedSelection&) = delete;
    ScopedSelection& operator=(const ScopedSelection&) = delete;
    explicit operator bool() const noexcept { return previous_ != nullptr && previous_ != HGDI_ERROR; }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// A window's device context from GetDC, given back with ReleaseDC.
class WindowDc {
public:
    explicit WindowDc(HWND window) noexcept : window_(window), dc_(GetDC(window)) {}
    ~WindowDc() {
        if (dc_ != nullptr) ReleaseDC(window_, dc_);
    }
    WindowDc(const WindowDc&) = delete;
    WindowDc& operator=(const WindowDc&) = delete;
    HDC get() const noexcept { return dc_; }
    explicit operator bool() const noexcept { return dc_ != nullptr; }

private:
    HWND window_;
    HDC dc_;
};

// BeginPaint for one WM_PAINT, EndPaint when the scope ends.
class PaintScope {
public:
    explicit PaintScope(HWND window) noexcept : window_(window) { dc_ = BeginPaint(window, &paint_); }
    ~PaintScope() { EndPaint(window_, &paint_); }
    PaintScope(const PaintScope&) = delete;
    PaintScope& operator=(const PaintScope&) = delete;
    HDC get() const noexcept { return dc_; }

private:
    HWND window_;
    PAINTSTRUCT paint_ = {};
    HDC dc_ = nullptr;
};

// The header of a top-down 32-bit uncompressed bitmap (BI_RGB), as GetDIBits and DIB sections take it.
inline BITMAPINFO topDownBitmapInfo(int width, int height) noexcept {
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// WinHTTP handles (HINTERNET is a void pointer). The closing function lives in the WinHTTP translation
// unit (src/update/https.cpp), so this header stays free of winhttp.h, which clashes with wininet.h.
void closeInternetHandle(void* handle) noexcept;
using UniqueInternet = Unique<NullTraits<void*, closeInternetHandle>>;

// Memory that COM hands out (CoTaskMemAlloc), such as paths from the shell.
using UniqueCoTaskMem = Unique<NullTraits<void*, ::CoTaskMemFree>>;

// Automation strings (SysAllocString), as the shell's automation objects take them.
using UniqueBstr = Unique<NullTraits<BSTR, ::SysFreeString>>;

// COM interface pointers: released, never deleted.
template <typename Interface>
struct ComTraits {
    using Type = Interface*;
    static Type invalid() noexcept { return nullptr; }
    static bool valid(Type p) noexcept { return p != nullptr; }
    static void close(Type p) noexcept { p->Release(); }
};
template <typename Interface>
using UniqueCom = Unique<ComTraits<Interface>>;

}  // namespace calmlane
