#include "app/policy.h"

#include <windows.h>

#include "app/constants.h"
#include "app/settings.h"

namespace calmlane {

namespace {

PolicyValue readPolicyValue(const wchar_t* name) {
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof(data);
    const LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, PolicyKey, name, RRF_RT_ANY | RRF_NOEXPAND, &type, &data, &size);
    if (status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(data)) return {PolicyValue::Dword, data};
    // Longer data ends in ERROR_MORE_DATA: a text or a QWORD where a DWORD belongs.
    if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) return {PolicyValue::Other, 0};
    return {};
}

}  // namespace

Policies decidePolicies(const PolicyValue (&found)[PolicyCount]) {
    Policies policies;
    unsigned long taken[PolicyCount] = {};
    bool set[PolicyCount] = {};
    for (std::size_t i = 0; i < PolicyCount; ++i) {
        const PolicyRange& range = PolicyRanges[i];
        const PolicyValue& value = found[i];
        if (value.kind == PolicyValue::Absent) continue;
        const bool inRange = value.kind == PolicyValue::Dword && value.value >= range.low && value.value <= range.high;
        const std::wstring line = std::wstring(range.name) + L" = " +
                                  (value.kind == PolicyValue::Dword ? std::to_wstring(value.value) : L"(not a DWORD)");
        (inRange ? policies.inForce : policies.ignored).push_back(line);
        if (inRange) taken[i] = value.value;
        set[i] = inRange;
    }
    policies.networkMode = taken[0];
    policies.updateCheckDisabled = taken[1] == 1;
    policies.supportCounterDisabled = taken[2] == 1;
    if (set[3]) policies.language = static_cast<int>(taken[3]);
    return policies;
}

Policies readPolicies() {
    PolicyValue found[PolicyCount];
    for (std::size_t i = 0; i < PolicyCount; ++i) found[i] = readPolicyValue(PolicyRanges[i].name);
    return decidePolicies(found);
}

BlockMode blockMode(unsigned long policyMode, unsigned long modeConfigured, unsigned long firewall) {
    if (policyMode == 1) return BlockMode::Firewall;
    if (policyMode == 2) return BlockMode::Adapters;
    if (modeConfigured != 1) return BlockMode::None;
    return firewall == 0 ? BlockMode::Adapters : BlockMode::Firewall;
}

BlockMode currentBlockMode() {
    return blockMode(readPolicies().networkMode, readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0),
                     readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1));
}

// Chosen exactly when the service would block: another stored value is asked for again.
bool networkModeChosen() { return currentBlockMode() != BlockMode::None; }

}  // namespace calmlane
