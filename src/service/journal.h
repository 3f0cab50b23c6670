#pragma once
// The adapter recovery journal: one HKLM value per adapter that the adapter mode disabled, written and
// flushed before it is disabled and removed once it is enabled again. Read apart from the adapter facility,
// so that the uninstaller and the mode change can ask whether anything is left to give back.
#include <string>
#include <vector>

namespace calmlane {

inline constexpr const wchar_t* Journal = L"SOFTWARE\\CalmlaneNative\\Recovery";

// Device instance ids held in the journal.
std::vector<std::wstring> savedDevices();
// Removes one journal entry and flushes the key; failures are ignored.
void deleteSavedDevice(const std::wstring& instanceId);

}  // namespace calmlane
