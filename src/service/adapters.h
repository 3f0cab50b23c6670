#pragma once
// Adapter mode: pause the physical Ethernet, Wi-Fi and mobile-broadband adapters, journalled in HKLM
// before each is disabled (journal.h), so that every release (and every service start) can enable them again.
#include <cstdint>
#include <string>
#include <vector>

namespace calmlane {

inline constexpr const wchar_t* PreservedDisabled = L"SOFTWARE\\CalmlaneNative\\PreservedDisabledAdapters";

struct InterfaceState {
    std::wstring guid;  // braced upper-case text
    std::uint64_t luid = 0;
    unsigned long adminStatus = 0;
};

struct PhysicalDevice {
    unsigned long devInst = 0;
    std::wstring instanceId;
    std::uint64_t luid = 0;
    unsigned long adminStatus = 0;
    unsigned long nodeStatus = 0;
    unsigned long problem = 0;
};

// Adapters that are up, started and without problem, in enumeration order.
std::vector<PhysicalDevice> physicalDevices();

// Disables every eligible adapter after journalling it; on any failure enables again what it began.
bool pauseAdapters();

// The journal part of the release procedure for a non-empty journal; true when no entry is pending.
bool replayJournal(const std::vector<std::wstring>& entries);

}  // namespace calmlane
