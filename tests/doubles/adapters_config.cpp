#include "doubles/adapters_config.h"

#include <stdexcept>

#include "app/settings.h"
#include "doubles/double_store.h"

namespace calmlane::doubles {

namespace {

const std::wstring adaptersKey = std::wstring(StoreKey) + L"\\Adapters";

std::wstring keyOf(DWORD devInst) { return adaptersKey + L"\\" + std::to_wstring(devInst - 1); }

}  // namespace

// Through the product's own registry helpers; each adapter is one key.
// A failed write is dropped, as the store's writes are (double_store.cpp): never thrown into the service.
void saveAdapter(const SimulatedAdapter& a) {
    try {
        const std::wstring key = keyOf(a.devInst);
        const auto dword = [&](const wchar_t* name, DWORD value) {
            writeDword(HKEY_LOCAL_MACHINE, key.c_str(), name, value);
        };
        writeString(HKEY_LOCAL_MACHINE, key.c_str(), L"Id", a.id);
        writeString(HKEY_LOCAL_MACHINE, key.c_str(), L"InterfaceGuid", a.interfaceGuid);
        dword(L"LuidLow", static_cast<DWORD>(a.luid));
        dword(L"LuidHigh", static_cast<DWORD>(a.luid >> 32));
        dword(L"Type", a.type);
        dword(L"Hardware", a.hardware);
        dword(L"AdminStatus", a.adminStatus);
        dword(L"NodeStatus", a.nodeStatus);
        dword(L"Problem", a.problem);
        dword(L"NoDriverKey", a.noDriverKey);
        dword(L"Absent", a.absent);
    } catch (const std::runtime_error&) {
    }
}

bool loadAdapter(DWORD devInst, SimulatedAdapter& a) {
    const std::wstring key = keyOf(devInst);
    const auto dword = [&](const wchar_t* name) { return readDword(HKEY_LOCAL_MACHINE, key.c_str(), name, 0); };
    if (devInst == 0 || !readString(HKEY_LOCAL_MACHINE, key.c_str(), L"Id", a.id)) return false;
    a.devInst = devInst;
    if (!readString(HKEY_LOCAL_MACHINE, key.c_str(), L"InterfaceGuid", a.interfaceGuid)) a.interfaceGuid.clear();
    a.luid = (static_cast<std::uint64_t>(dword(L"LuidHigh")) << 32) | dword(L"LuidLow");
    a.type = dword(L"Type");
    a.hardware = dword(L"Hardware") != 0;
    a.adminStatus = dword(L"AdminStatus");
    a.nodeStatus = dword(L"NodeStatus");
    a.problem = dword(L"Problem");
    a.noDriverKey = dword(L"NoDriverKey") != 0;
    a.absent = dword(L"Absent") != 0;
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

SimulatedAdapter stoppedAdapter(int number, DWORD problem) {
    SimulatedAdapter a = physicalAdapter(number);
    a.nodeStatus &= ~0x8u;
    a.problem = problem;
    return a;
}

}  // namespace calmlane::doubles
