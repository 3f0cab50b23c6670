#pragma once
// Selecting the product as the Windows screen saver, giving the user's own saver back, and the idle delay.
#include <windows.h>

#include <string>

#include "app/handles.h"

namespace calmlane {

inline constexpr const wchar_t* DesktopKey = L"Control Panel\\Desktop";
inline constexpr const wchar_t* SaverConfigurationMutex = L"Local\\Calmlane.SaverConfiguration";

// Session-wide exclusion of the screen-saver operations. No waiting: held elsewhere means busy.
class SaverConfigurationLock {
public:
    explicit SaverConfigurationLock(bool required);
    ~SaverConfigurationLock();
    SaverConfigurationLock(const SaverConfigurationLock&) = delete;
    SaverConfigurationLock& operator=(const SaverConfigurationLock&) = delete;
    bool owned() const { return owned_; }

private:
    UniqueHandle handle_;
    bool owned_ = false;
};

std::wstring normalizeSaverPath(std::wstring path);
bool isCalmlanePath(const std::wstring& path);
// Whether the current SCRNSAVE.EXE names a product saver file; isCalmlaneSelected is its public entry.
bool calmlaneSelected();
bool isCalmlaneSelected();

void activateSaver();
void deactivateSaver();
void repairSelectedSaverPath();
void setSaverTimeout(unsigned minutes);

}  // namespace calmlane
