#pragma once
// The adapter facility (interface table and device nodes), behind a seam: Wine lists no network-class
// devices. The product links the Windows implementation (platform/adapter_windows.cpp); test builds link
// a double that keeps device states in the test prefix's registry.
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace calmlane::adapter {

// One row of the system's interface table (MIB_IF_ROW2), as far as the adapter mode reads it.
struct InterfaceRow {
    GUID interfaceGuid{};
    std::uint64_t luid = 0;
    DWORD type = 0;
    bool hardwareInterface = false;
    DWORD adminStatus = 0;
};

// One present device of the network adapter class, with the "NetCfgInstanceId" of its driver key
// (empty when the key or the value cannot be read).
struct NetDevice {
    DWORD devInst = 0;
    std::wstring netCfgInstanceId;
};

bool interfaceTable(std::vector<InterfaceRow>& rows);       // GetIfTable2
bool interfaceRow(std::uint64_t luid, InterfaceRow& row);   // GetIfEntry2 by LUID
bool netDevices(std::vector<NetDevice>& devices);           // SetupAPI, present devices, driver keys
DWORD nodeStatus(DWORD devInst, ULONG& status, ULONG& problem);  // CM_Get_DevNode_Status
DWORD deviceId(DWORD devInst, std::wstring& id);                 // CM_Get_Device_IDW, 200 characters
DWORD disableNode(DWORD devInst);                                // CM_Disable_DevNode, no user interface
DWORD locateNode(const std::wstring& id, DWORD& devInst);        // CM_Locate_DevNodeW, normal
DWORD enableNode(DWORD devInst);                                 // CM_Enable_DevNode

}  // namespace calmlane::adapter
