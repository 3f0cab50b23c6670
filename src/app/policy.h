#pragma once
// What an organisation sets for Calmlane through Group Policy, Intune or Configuration Manager: the
// values under HKLM "SOFTWARE\Policies\Calmlane" (policy/Calmlane.admx describes them). They are read
// afresh at every use, so a change counts from the next "START", window or tray start, or "Policy"
// setting change.
#include <cstddef>
#include <string>
#include <vector>

namespace calmlane {

inline constexpr const wchar_t* PolicyKey = L"SOFTWARE\\Policies\\Calmlane";

// One policy value as found: absent, a DWORD, or something else (another type or size).
struct PolicyValue {
    enum Kind { Absent, Dword, Other } kind = Absent;
    unsigned long value = 0;
};

// The policies and their ranges, in the order the report lists them.
struct PolicyRange {
    const wchar_t* name;
    unsigned long low, high;
};
inline constexpr PolicyRange PolicyRanges[] = {
    {L"NetworkMode", 1, 2},            // 1 firewall mode, 2 adapter mode
    {L"DisableUpdateCheck", 0, 1},     // 1: no update check, download or update balloon
    {L"DisableSupportCounter", 0, 1},  // 1: no vote request, no support button
    {L"Language", 0, 5},               // the language index of every user who has not chosen one
};
inline constexpr std::size_t PolicyCount = sizeof(PolicyRanges) / sizeof(PolicyRanges[0]);

struct Policies {
    unsigned long networkMode = 0;  // 1 firewall, 2 adapters, 0 not set
    bool updateCheckDisabled = false;
    bool supportCounterDisabled = false;
    int language = -1;  // the Language policy's index 0 to 5; -1 when it is not set
    std::vector<std::wstring> inForce;  // "NetworkMode = 1", one per value within its range
    std::vector<std::wstring> ignored;  // "NetworkMode = 7", one per value outside it (or not a DWORD)
};

// The policies the values found mean, in PolicyRanges order. A value outside its range is ignored.
Policies decidePolicies(const PolicyValue (&found)[PolicyCount]);
Policies readPolicies();

// The interruption mode of a "START": the NetworkMode policy when one is in force, else the installed
// choice (Firewall, counted once ModeConfigured reads 1), else none. Missing machine values are passed
// as their defaults, ModeConfigured 0 and Firewall 1.
enum class BlockMode { None, Firewall, Adapters };
BlockMode blockMode(unsigned long policyMode, unsigned long modeConfigured, unsigned long firewall);
BlockMode currentBlockMode();

// Whether the windows count the mode as chosen: set by policy, or ModeConfigured 1, as the service reads it.
bool networkModeChosen();

}  // namespace calmlane
