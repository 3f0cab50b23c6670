#pragma once
// Selecting the product as the Windows screen saver, giving the user's own saver back, and the idle delay.
#include <windows.h>

#include <string>

#include "app/handles.h"

namespace calmlane {

inline constexpr const wchar_t* DesktopKey = L"Control Panel\\Desktop";
inline constexpr const wchar_t* SaverConfigurationMutex = L"Local\\Calmlane.SaverConfiguration";
// Windows' own screen-saver policies of the user: each value set here wins over DesktopKey's.
inline constexpr const wchar_t* SaverPolicyKey = L"Software\\Policies\\Microsoft\\Windows\\Control Panel\\Desktop";

// The user's screen-saver policies, as texts Windows reads them from (a value that is not one is unset).
struct SaverPolicy {
    bool saverSet = false;
    std::wstring saver;  // SCRNSAVE.EXE as written: a bare name is in System32
    bool activeSet = false, active = false;  // ScreenSaveActive
    bool secureSet = false, secure = false;  // ScreenSaverIsSecure
    bool timeoutSet = false;
    unsigned long timeoutSeconds = 0;  // ScreenSaveTimeOut
};
SaverPolicy readSaverPolicy();

// Why enabling the product cannot work under those policies: another saver forced (also one that does not
// exist: Windows then runs none), or screen savers forced off.
enum class SaverBlock { None, OtherSaver, SaverOff };
SaverBlock saverBlock(const SaverPolicy& policy, bool forcedSaverIsInstalled);

// What Windows uses for the user, each policy winning over the user's own setting; a query's success is
// kept apart from its value.
struct EffectiveSaver {
    SaverPolicy policy;
    bool selected = false;
    bool activeRead = false, active = false;
    bool timeoutRead = false;
    unsigned long timeoutSeconds = 0;
    SaverBlock block = SaverBlock::None;
};
EffectiveSaver effectiveSaver();

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
// Whether the saver Windows uses is the product's: a forced one must be the installed file, else the
// user's SCRNSAVE.EXE must name a product saver file. isCalmlaneSelected is its public entry.
bool calmlaneSelected();
bool isCalmlaneSelected();

void activateSaver();
void deactivateSaver();
void repairSelectedSaverPath();
void setSaverTimeout(unsigned minutes);

}  // namespace calmlane
