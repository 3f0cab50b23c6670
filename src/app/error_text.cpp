#include "app/error_text.h"

#include <windows.h>

#include "app/handles.h"

namespace calmlane {

std::wstring errorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
        reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    UniqueLocal owner(buffer);
    std::wstring text = (length != 0 && buffer != nullptr) ? std::wstring(buffer, length) : L"Windows error";
    return text + L" (" + std::to_wstring(code) + L")";
}

}  // namespace calmlane
