#include "service/journal.h"

#include <windows.h>

#include <string>
#include <vector>

#include "app/handles.h"

namespace calmlane {

std::vector<std::wstring> savedDevices() {
    std::vector<std::wstring> ids;
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Journal, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return ids;
    std::vector<wchar_t> name(512);
    std::vector<BYTE> data(8192);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataBytes = static_cast<DWORD>(data.size());
        DWORD type = 0;
        const LSTATUS status =
            RegEnumValueW(key.get(), index, name.data(), &nameLength, nullptr, &type, data.data(), &dataBytes);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS || type != REG_SZ || dataBytes < 2) continue;
        // Only the bytes this call returned: the buffer still holds the tail of any longer earlier value.
        const wchar_t* text = reinterpret_cast<const wchar_t*>(data.data());
        std::size_t length = 0;
        const std::size_t available = dataBytes / sizeof(wchar_t);
        while (length < available && length < 4095 && text[length] != L'\0') ++length;
        ids.emplace_back(text, length);
    }
    return ids;
}

void deleteSavedDevice(const std::wstring& instanceId) {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, Journal, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return;
    RegDeleteValueW(key.get(), instanceId.c_str());
    RegFlushKey(key.get());
}

}  // namespace calmlane
