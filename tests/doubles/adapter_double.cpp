// Adapter double: simulated interfaces and device nodes kept in the registry, so that a service killed
// in the middle of a pause finds them as it left them when it starts again.
//
// One key per adapter, "SOFTWARE\CalmlaneTest\Adapters\<n>" (n from 0), values:
//   Id (REG_SZ, empty for an interface without a device), InterfaceGuid (REG_SZ, braced), Luid, Type,
//   Hardware, AdminStatus, NodeStatus, Problem, NoDriverKey, Absent (DWORDs).
// The device node handle of adapter n is n + 1.
#include "doubles/adapters_config.h"

#include "doubles/double_store.h"
#include "service/adapter_seam.h"

namespace calmlane::adapter {

namespace {

DWORD finish(DWORD code) {
    doubles::leaveCall();
    return code;
}

bool toInterfaceRow(const doubles::SimulatedAdapter& a, InterfaceRow& row) {
    if (CLSIDFromString(a.interfaceGuid.c_str(), &row.interfaceGuid) != NOERROR) return false;
    row.luid = a.luid;
    row.type = a.type;
    row.hardwareInterface = a.hardware;
    row.adminStatus = a.adminStatus;
    return true;
}

// One call on a device node: recorded, failed on request, 13 (no such node) when it does not exist.
template <typename Act>
DWORD onNode(const wchar_t* call, DWORD devInst, Act act) {
    DWORD code = doubles::enterCall(call, L"node=" + std::to_wstring(devInst));
    doubles::SimulatedAdapter a;
    if (code == 0) code = doubles::loadAdapter(devInst, a) ? act(a) : 13;
    return finish(code);
}

}  // namespace

bool interfaceTable(std::vector<InterfaceRow>& rows) {
    const DWORD code = doubles::enterCall(L"adapter.interfaceTable", L"");
    if (code == 0) {
        for (const auto& a : doubles::loadAdapters()) {
            InterfaceRow row;
            if (!a.interfaceGuid.empty() && toInterfaceRow(a, row)) rows.push_back(row);
        }
    }
    return finish(code) == 0;
}

bool interfaceRow(std::uint64_t luid, InterfaceRow& row) {
    DWORD code = doubles::enterCall(L"adapter.interfaceRow", L"luid=" + std::to_wstring(luid));
    if (code == 0) {
        code = ERROR_FILE_NOT_FOUND;
        for (const auto& a : doubles::loadAdapters()) {
            if (a.luid == luid && toInterfaceRow(a, row)) code = 0;
        }
    }
    return finish(code) == 0;
}

bool netDevices(std::vector<NetDevice>& devices) {
    const DWORD code = doubles::enterCall(L"adapter.netDevices", L"");
    if (code == 0) {
        for (const auto& a : doubles::loadAdapters()) {
            if (a.id.empty() || a.absent) continue;
            devices.push_back({a.devInst, a.noDriverKey ? std::wstring() : a.interfaceGuid});
        }
    }
    return finish(code) == 0;
}

DWORD nodeStatus(DWORD devInst, ULONG& status, ULONG& problem) {
    return onNode(L"adapter.nodeStatus", devInst, [&](doubles::SimulatedAdapter& a) -> DWORD {
        if (a.absent) return 13;
        status = a.nodeStatus;
        problem = a.problem;
        return 0;
    });
}

DWORD deviceId(DWORD devInst, std::wstring& id) {
    return onNode(L"adapter.deviceId", devInst, [&](doubles::SimulatedAdapter& a) -> DWORD {
        id = a.id;
        return 0;
    });
}

DWORD disableNode(DWORD devInst) {
    return onNode(L"adapter.disableNode", devInst, [](doubles::SimulatedAdapter& a) -> DWORD {
        a.nodeStatus &= ~0x8u;
        a.problem = 22;  // disabled
        doubles::saveAdapter(a);
        return 0;
    });
}

DWORD locateNode(const std::wstring& id, DWORD& devInst) {
    DWORD code = doubles::enterCall(L"adapter.locateNode", L"id=" + id);
    if (code == 0) {
        code = 13;
        for (const auto& a : doubles::loadAdapters()) {
            if (!a.absent && !a.id.empty() && _wcsicmp(a.id.c_str(), id.c_str()) == 0) {
                devInst = a.devInst;
                code = 0;
                break;
            }
        }
    }
    return finish(code);
}

DWORD enableNode(DWORD devInst) {
    return onNode(L"adapter.enableNode", devInst, [](doubles::SimulatedAdapter& a) -> DWORD {
        a.nodeStatus |= 0x8;
        a.problem = 0;
        doubles::saveAdapter(a);
        return 0;
    });
}

}  // namespace calmlane::adapter
