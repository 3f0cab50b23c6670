// Adapter double: simulated interfaces and device nodes kept in the registry, so that a service killed
// in the middle of a pause finds them as it left them when it starts again.
//
// One key per adapter, "SOFTWARE\CalmlaneTest\Adapters\<n>" (n from 0), values:
//   Id (REG_SZ, empty for an interface without a device), InterfaceGuid (REG_SZ, braced), Luid, Type,
//   Hardware, AdminStatus, NodeStatus, Problem, NoDriverKey, Absent (DWORDs).
// The device node handle of adapter n is n + 1.
#include "doubles/adapters_config.h"

#include "doubles/double_store.h"
#include "service/seams.h"

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
    DWORD code = doubles::enterCall(L"adapter.nodeStatus", L"node=" + std::to_wstring(devInst));
    if (code == 0) {
        doubles::SimulatedAdapter a;
        if (!doubles::loadAdapter(devInst, a) || a.absent) {
            code = 13;  // CR_NO_SUCH_DEVNODE
        } else {
            status = a.nodeStatus;
            problem = a.problem;
        }
    }
    return finish(code);
}

DWORD deviceId(DWORD devInst, std::wstring& id) {
    DWORD code = doubles::enterCall(L"adapter.deviceId", L"node=" + std::to_wstring(devInst));
    if (code == 0) {
        doubles::SimulatedAdapter a;
        if (doubles::loadAdapter(devInst, a)) {
            id = a.id;
        } else {
            code = 13;
        }
    }
    return finish(code);
}

DWORD disableNode(DWORD devInst) {
    DWORD code = doubles::enterCall(L"adapter.disableNode", L"node=" + std::to_wstring(devInst));
    if (code == 0) {
        doubles::SimulatedAdapter a;
        if (doubles::loadAdapter(devInst, a)) {
            a.nodeStatus &= ~0x8u;
            a.problem = 22;
            doubles::saveAdapter(a);
        } else {
            code = 13;
        }
    }
    return finish(code);
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
    DWORD code = doubles::enterCall(L"adapter.enableNode", L"node=" + std::to_wstring(devInst));
    if (code == 0) {
        doubles::SimulatedAdapter a;
        if (doubles::loadAdapter(devInst, a)) {
            a.nodeStatus |= 0x8;
            a.problem = 0;
            doubles::saveAdapter(a);
        } else {
            code = 13;
        }
    }
    return finish(code);
}

}  // namespace calmlane::adapter
