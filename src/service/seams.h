#pragma once
// Narrow seams for the Windows facilities that Wine lacks. The product links the Windows
// implementations (src/service/platform); test builds link recording doubles (tests/doubles).
#include <windows.h>
#include <fwpmu.h>

namespace calmlane::wfp {

DWORD engineOpen(const FWPM_SESSION0* session, HANDLE* engine);
DWORD transactionBegin(HANDLE engine);
DWORD subLayerAdd(HANDLE engine, const FWPM_SUBLAYER0* subLayer);
DWORD filterAdd(HANDLE engine, const FWPM_FILTER0* filter);
DWORD transactionCommit(HANDLE engine);
DWORD transactionAbort(HANDLE engine);
DWORD engineClose(HANDLE engine);

}  // namespace calmlane::wfp

namespace calmlane::power {

// Subscribes the service to console display state reports, delivered to its control handler
// (RegisterPowerSettingNotification); null when that fails. The handler is the one the service
// registered with the service manager.
HPOWERNOTIFY subscribeDisplay(SERVICE_STATUS_HANDLE status, LPHANDLER_FUNCTION_EX handler);
void unsubscribeDisplay(HPOWERNOTIFY subscription);

}  // namespace calmlane::power

namespace calmlane::terminal {

// The connect state (WTS_CONNECTSTATE_CLASS) of a session; false when it cannot be read in full.
bool sessionConnectState(DWORD sessionId, DWORD& state);

}  // namespace calmlane::terminal

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
