// Network interfaces and device nodes behind the adapter seam.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <windows.h>
#include <cfgmgr32.h>
#include <devguid.h>
#include <iphlpapi.h>
#include <netioapi.h>
#include <setupapi.h>

#include "app/handles.h"
#include "service/adapter_seam.h"

namespace calmlane::adapter {

namespace {

struct DeviceInfoSetTraits {
    using Type = HDEVINFO;
    static Type invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static bool valid(Type h) noexcept { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void close(Type h) noexcept { ::SetupDiDestroyDeviceInfoList(h); }
};
using UniqueDeviceInfoSet = Unique<DeviceInfoSetTraits>;

using UniqueMibTable = Unique<NullTraits<PMIB_IF_TABLE2, ::FreeMibTable>>;

InterfaceRow fromMib(const MIB_IF_ROW2& mib) {
    InterfaceRow row;
    row.interfaceGuid = mib.InterfaceGuid;
    row.luid = mib.InterfaceLuid.Value;
    row.type = mib.Type;
    row.hardwareInterface = mib.InterfaceAndOperStatusFlags.HardwareInterface != 0;
    row.adminStatus = static_cast<DWORD>(mib.AdminStatus);
    return row;
}

}  // namespace

bool interfaceTable(std::vector<InterfaceRow>& rows) {
    UniqueMibTable table;
    if (GetIfTable2(table.put()) != NO_ERROR || !table) return false;
    for (ULONG i = 0; i < table.get()->NumEntries; ++i) rows.push_back(fromMib(table.get()->Table[i]));
    return true;
}

bool interfaceRow(std::uint64_t luid, InterfaceRow& row) {
    MIB_IF_ROW2 mib = {};
    mib.InterfaceLuid.Value = luid;
    if (GetIfEntry2(&mib) != NO_ERROR) return false;
    row = fromMib(mib);
    return true;
}

bool netDevices(std::vector<NetDevice>& devices) {
    UniqueDeviceInfoSet set(SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, nullptr, nullptr, DIGCF_PRESENT));
    if (!set) return false;
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof(data);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &data); ++index) {
        NetDevice device;
        device.devInst = data.DevInst;
        const HKEY driverKey = SetupDiOpenDevRegKey(set.get(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (driverKey != INVALID_HANDLE_VALUE && driverKey != nullptr) {
            UniqueKey key(driverKey);
            wchar_t value[128] = {};
            DWORD bytes = sizeof(value);
            if (RegGetValueW(key.get(), nullptr, L"NetCfgInstanceId", RRF_RT_REG_SZ, nullptr, value, &bytes) ==
                ERROR_SUCCESS) {
                device.netCfgInstanceId = value;
            }
        }
        devices.push_back(device);
    }
    return true;
}

DWORD nodeStatus(DWORD devInst, ULONG& status, ULONG& problem) {
    return CM_Get_DevNode_Status(&status, &problem, devInst, 0);
}

DWORD deviceId(DWORD devInst, std::wstring& id) {
    wchar_t buffer[201] = {};  // 200 characters and the terminator
    const CONFIGRET result = CM_Get_Device_IDW(devInst, buffer, 200, 0);
    if (result == CR_SUCCESS) id = buffer;
    return result;
}

DWORD disableNode(DWORD devInst) { return CM_Disable_DevNode(devInst, CM_DISABLE_UI_NOT_OK); }

DWORD locateNode(const std::wstring& id, DWORD& devInst) {
    return CM_Locate_DevNodeW(&devInst, const_cast<wchar_t*>(id.c_str()), CM_LOCATE_DEVNODE_NORMAL);
}

DWORD enableNode(DWORD devInst) { return CM_Enable_DevNode(devInst, 0); }

}  // namespace calmlane::adapter
