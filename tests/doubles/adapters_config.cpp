#include "doubles/adapters_config.h"

#include "app/handles.h"
#include "doubles/double_store.h"

namespace calmlane::doubles {

namespace {

const std::wstring adaptersKey = std::wstring(StoreKey) + L"\\Adapters";

std::wstring keyOf(DWORD devInst) { return adaptersKey + L"\\" + std::to_wstring(devInst - 1); }

DWORD readDword(HKEY key, const wchar_t* name) {
    DWORD value = 0, size = sizeof(value);
    RegGetValueW(key, nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size);
    return value;
}

std::wstring readString(HKEY key, const wchar_t* name) {
    wchar_t buffer[512] = {};
    DWORD size = sizeof(buffer);
    if (RegGetValueW(key, nullptr, name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS) return {};
    return buffer;
}

void writeDword(HKEY key, const wchar_t* name, DWORD value) {
    RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

void writeString(HKEY key, const wchar_t* name, const std::wstring& value) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

void saveAdapter(const SimulatedAdapter& a) {
    UniqueKey key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyOf(a.devInst).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        key.put(), nullptr) != ERROR_SUCCESS) {
        return;
    }
    writeString(key.get(), L"Id", a.id);
    writeString(key.get(), L"InterfaceGuid", a.interfaceGuid);
    writeDword(key.get(), L"LuidLow", static_cast<DWORD>(a.luid));
    writeDword(key.get(), L"LuidHigh", static_cast<DWORD>(a.luid >> 32));
    writeDword(key.get(), L"Type", a.type);
    writeDword(key.get(), L"Hardware", a.hardware);
    writeDword(key.get(), L"AdminStatus", a.adminStatus);
    writeDword(key.get(), L"NodeStatus", a.nodeStatus);
    writeDword(key.get(), L"Problem", a.problem);
    writeDword(key.get(), L"NoDriverKey", a.noDriverKey);
    writeDword(key.get(), L"Absent", a.absent);
    RegFlushKey(key.get());
}

bool loadAdapter(DWORD devInst, SimulatedAdapter& a) {
    UniqueKey key;
    if (devInst == 0 ||
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyOf(devInst).c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
        return false;
    }
    a.devInst = devInst;
    a.id = readString(key.get(), L"Id");
    a.interfaceGuid = readString(key.get(), L"InterfaceGuid");
    a.luid = (static_cast<std::uint64_t>(readDword(key.get(), L"LuidHigh")) << 32) | readDword(key.get(), L"LuidLow");
    a.type = readDword(key.get(), L"Type");
    a.hardware = readDword(key.get(), L"Hardware") != 0;
    a.adminStatus = readDword(key.get(), L"AdminStatus");
    a.nodeStatus = readDword(key.get(), L"NodeStatus");
    a.problem = readDword(key.get(), L"Problem");
    a.noDriverKey = readDword(key.get(), L"NoDriverKey") != 0;
    a.absent = readDword(key.get(), L"Absent") != 0;
    return true;
}

std::vector<SimulatedAdapter> loadAdapters() {
    std::vector<SimulatedAdapter> adapters;
    for (DWORD devInst = 1;; ++devInst) {
        SimulatedAdapter a;
        if (!loadAdapter(devInst, a)) break;
        adapters.push_back(a);
    }
    return adapters;
}

void setAdapters(const std::vector<SimulatedAdapter>& adapters) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, adaptersKey.c_str());
    DWORD devInst = 1;
    for (SimulatedAdapter a : adapters) {
        a.devInst = devInst++;
        saveAdapter(a);
    }
}

SimulatedAdapter physicalAdapter(int number, DWORD type) {
    SimulatedAdapter a;
    wchar_t guid[64];
    swprintf(guid, 64, L"{%08X-0000-4000-8000-0000000000%02X}", 0xA0000000u + number, number);
    a.interfaceGuid = guid;
    a.id = L"PCI\\VEN_8086&DEV_15B8&SUBSYS_00000000&REV_0" + std::to_wstring(number) + L"\\3&11583659&0&F" +
           std::to_wstring(number);
    a.luid = 0x0006000000000000ull + static_cast<std::uint64_t>(number);
    a.type = type;
    return a;
}

}  // namespace calmlane::doubles
