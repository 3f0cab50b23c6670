#include "configuration/saver_selection.h"

#include <stdexcept>
#include <vector>

#include "app/constants.h"
#include "app/held_folder.h"
#include "app/policy.h"
#include "app/settings.h"
#include "configuration/settings_broadcast.h"
#include "protocol/service_clients.h"

namespace calmlane {

namespace {

constexpr DWORD PathBuffer = 32768;

// Asks for the settings broadcast when the operation ends, returning or throwing, once it changed a
// Windows setting. Declared after the lock, so the request comes before the lock is released.
class BroadcastOnExit {
public:
    BroadcastOnExit() = default;
    BroadcastOnExit(const BroadcastOnExit&) = delete;
    BroadcastOnExit& operator=(const BroadcastOnExit&) = delete;
    ~BroadcastOnExit() {
        if (changed_) settingsNotifications.request();
    }
    void changed() { changed_ = true; }

private:
    bool changed_ = false;
};

std::wstring selectedSaver() {
    std::wstring path;
    return readString(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE", path) ? path : std::wstring();
}

bool queryActive(BOOL& active) {
    active = FALSE;  // some systems leave it untouched until it was set once
    return SystemParametersInfoW(SPI_GETSCREENSAVEACTIVE, 0, &active, 0) != FALSE;
}

bool queryTimeout(int& seconds) { return SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &seconds, 0) != FALSE; }

bool setTimeout(unsigned seconds) {
    return SystemParametersInfoW(SPI_SETSCREENSAVETIMEOUT, seconds, nullptr, SPIF_UPDATEINIFILE) != FALSE;
}

bool setActive(bool active) {
    return SystemParametersInfoW(SPI_SETSCREENSAVEACTIVE, active ? TRUE : FALSE, nullptr, SPIF_UPDATEINIFILE) != FALSE;
}

bool fileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring installedSaver() { return installDir() + L"\\Calmlane.scr"; }

bool readUserDword(const wchar_t* name, DWORD& value) {
    DWORD size = sizeof(value);
    return RegGetValueW(HKEY_CURRENT_USER, RegistryPath, name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
           ERROR_SUCCESS;
}

[[noreturn]] void fail(const char* message) { throw std::runtime_error(message); }

// The user's own choice, under any policy: what activation remembers and deactivation gives back.
bool ownSelection() { return isCalmlanePath(selectedSaver()); }

std::wstring policyText(const wchar_t* name, bool& set) {
    std::wstring value;
    set = readString(HKEY_CURRENT_USER, SaverPolicyKey, name, value);
    const std::size_t first = value.find_first_not_of(L" \t");
    value = first == std::wstring::npos ? std::wstring()
                                        : value.substr(first, value.find_last_not_of(L" \t") - first + 1);
    set = set && !value.empty();
    return value;
}

// A policy number as its text holds it: 1 to 10 decimal digits that fit.
bool policyNumber(const wchar_t* name, unsigned long& number) {
    bool set = false;
    const std::wstring text = policyText(name, set);
    if (!set || text.size() > 10 || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    const unsigned long long value = std::stoull(text);
    if (value > 0xFFFFFFFFull) return false;
    number = static_cast<unsigned long>(value);
    return true;
}

bool samePath(const std::wstring& a, const std::wstring& b) {
    if (_wcsicmp(a.c_str(), b.c_str()) == 0) return true;
    const auto open = [](const std::wstring& path) {
        return UniqueHandle(CreateFileW(path.c_str(), 0, ShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                        nullptr));
    };
    const UniqueHandle first = open(a), second = open(b);
    return first && second && sameFile(first.get(), second.get());
}

// Whether a forced saver is the installed Calmlane.scr, however it is spelt. Windows looks a bare name up in
// System32.
bool forcedIsInstalled(const std::wstring& forced) {
    try {
        std::wstring path = normalizeSaverPath(forced);
        if (path.find_first_of(L"\\:") == std::wstring::npos) {
            wchar_t system[MAX_PATH] = {};
            const UINT length = GetSystemDirectoryW(system, MAX_PATH);
            if (length == 0 || length >= MAX_PATH) return false;
            path = std::wstring(system, length) + L"\\" + path;
        }
        return samePath(path, normalizeSaverPath(installedSaver()));
    } catch (const std::exception&) {
        return false;  // no installation folder to compare with
    }
}

// Refuses, before anything changes, an activation that the user's screen-saver policies defeat.
void refuseBlockedActivation() {
    const SaverPolicy policy = readSaverPolicy();
    switch (saverBlock(policy, policy.saverSet && forcedIsInstalled(policy.saver))) {
    case SaverBlock::OtherSaver:
        fail("Windows policy sets another screen saver. Calmlane cannot be enabled.");
    case SaverBlock::SaverOff:
        fail("Windows policy turns the screen saver off. Calmlane cannot be enabled.");
    case SaverBlock::None:
        break;
    }
}

// Sets the idle timeout and checks that Windows kept it; a change Windows accepted is broadcast.
void applyTimeout(DWORD seconds, const char* refused, const char* notApplied, BroadcastOnExit& broadcast) {
    if (!setTimeout(seconds)) fail(refused);
    broadcast.changed();
    int applied = 0;
    if (!queryTimeout(applied) || static_cast<DWORD>(applied) != seconds) fail(notApplied);
}

}  // namespace

SaverConfigurationLock::SaverConfigurationLock(bool required)
    : handle_(CreateMutexW(nullptr, FALSE, SaverConfigurationMutex)) {
    if (handle_) {
        const DWORD waited = WaitForSingleObject(handle_.get(), 0);
        owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;  // a holder that died released it
    }
    if (required && !owned_) {
        handle_.reset();
        fail("Another screen saver operation is in progress. Please try again.");
    }
}

SaverConfigurationLock::~SaverConfigurationLock() {
    if (owned_) ReleaseMutex(handle_.get());
}

std::wstring normalizeSaverPath(std::wstring path) {
    const wchar_t* const trimmed = L"\t \"";
    const std::size_t first = path.find_first_not_of(trimmed);
    if (first == std::wstring::npos) return std::wstring();
    path = path.substr(first, path.find_last_not_of(trimmed) - first + 1);

    std::vector<wchar_t> buffer(PathBuffer);
    // The count includes the terminator.
    const DWORD expanded = ExpandEnvironmentStringsW(path.c_str(), buffer.data(), PathBuffer);
    if (expanded >= 1 && expanded <= PathBuffer) path.assign(buffer.data(), expanded - 1);
    // The length excludes the terminator; a missing file keeps the expanded path.
    const DWORD longLength = GetLongPathNameW(path.c_str(), buffer.data(), PathBuffer);
    if (longLength >= 1 && longLength < PathBuffer) path.assign(buffer.data(), longLength);

    for (wchar_t& c : path) {
        if (c == L'/') c = L'\\';
    }
    return path;
}

bool isCalmlanePath(const std::wstring& path) {
    const std::wstring normalized = normalizeSaverPath(path);
    const std::size_t slash = normalized.find_last_of(L'\\');
    const std::wstring name = slash == std::wstring::npos ? normalized : normalized.substr(slash + 1);
    return _wcsicmp(name.c_str(), L"Calmlane.scr") == 0 || _wcsicmp(name.c_str(), L"Calmlane.ScreenSaver.scr") == 0;
}

SaverPolicy readSaverPolicy() {
    SaverPolicy policy;
    policy.saver = policyText(L"SCRNSAVE.EXE", policy.saverSet);
    unsigned long number = 0;
    policy.activeSet = policyNumber(L"ScreenSaveActive", number);
    policy.active = policy.activeSet && number != 0;
    policy.secureSet = policyNumber(L"ScreenSaverIsSecure", number);
    policy.secure = policy.secureSet && number != 0;
    policy.timeoutSet = policyNumber(L"ScreenSaveTimeOut", policy.timeoutSeconds);
    return policy;
}

SaverBlock saverBlock(const SaverPolicy& policy, bool forcedSaverIsInstalled) {
    if (policy.saverSet && !forcedSaverIsInstalled) return SaverBlock::OtherSaver;
    if (policy.activeSet && !policy.active) return SaverBlock::SaverOff;
    return SaverBlock::None;
}

EffectiveSaver effectiveSaver() {
    EffectiveSaver effective;
    effective.policy = readSaverPolicy();
    const bool forcedOurs = effective.policy.saverSet && forcedIsInstalled(effective.policy.saver);
    effective.selected = effective.policy.saverSet ? forcedOurs : ownSelection();
    effective.block = saverBlock(effective.policy, forcedOurs);
    BOOL active = FALSE;
    effective.activeRead = effective.policy.activeSet || queryActive(active);
    effective.active = effective.policy.activeSet ? effective.policy.active : active != FALSE;
    int timeout = 0;
    effective.timeoutRead = effective.policy.timeoutSet || queryTimeout(timeout);
    effective.timeoutSeconds = effective.policy.timeoutSet ? effective.policy.timeoutSeconds
                                                           : static_cast<unsigned long>(timeout > 0 ? timeout : 0);
    return effective;
}

// Read from the registry on every call: the tray and the status text poll it.
bool calmlaneSelected() {
    bool forced = false;
    const std::wstring saver = policyText(L"SCRNSAVE.EXE", forced);
    return forced ? forcedIsInstalled(saver) : ownSelection();
}

bool isCalmlaneSelected() { return calmlaneSelected(); }

void activateSaver() {
    SaverConfigurationLock lock(true);
    BroadcastOnExit broadcast;
    refuseBlockedActivation();
    if (readPolicies().networkMode == 0 && readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0) != 1) {
        fail("Choose the network interruption mode in Calmlane before activation.");
    }
    if (!serviceRunning()) fail("The Calmlane service is unavailable. Reinstall with the setup program.");
    const std::wstring saver = installedSaver();
    if (!fileExists(saver)) fail("Screen saver file missing. Reinstall Calmlane.");

    if (!ownSelection()) {
        BOOL active = FALSE;
        if (!queryActive(active)) active = FALSE;
        int timeout = 600;
        if (!queryTimeout(timeout)) timeout = 600;
        const std::wstring previous = selectedSaver();
        writeString(HKEY_CURRENT_USER, RegistryPath, L"PreviousSaver", previous);
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"PreviousActive", active ? 1 : 0);
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"PreviousTimeout", static_cast<unsigned long>(timeout));
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"PreviousSaved", 1);

        // A delay that Windows policy sets is the organisation's: the product's own is not applied.
        DWORD saved = 0;
        if (!readSaverPolicy().timeoutSet && readUserDword(L"CalmlaneTimeoutSeconds", saved) && saved != 0) {
            applyTimeout(saved, "Windows refused the saved Calmlane timeout.",
                         "The saved Calmlane delay was not applied. Check Windows policies.", broadcast);
        }
    }
    writeString(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE", saver);
    broadcast.changed();
    if (!setActive(true)) fail("Windows refused screen saver activation.");
    BOOL active = FALSE;
    if (!isCalmlaneSelected() || !queryActive(active) || !active) {
        fail("Windows did not enable Calmlane. Check Windows policies.");
    }
}

void deactivateSaver() {
    SaverConfigurationLock lock(true);
    BroadcastOnExit broadcast;
    if (!ownSelection()) return;

    int timeout = 0;
    if (!queryTimeout(timeout)) fail("Cannot remember the Calmlane timeout. Deactivation was not applied.");
    if (timeout != 0) writeDword(HKEY_CURRENT_USER, RegistryPath, L"CalmlaneTimeoutSeconds", static_cast<unsigned long>(timeout));

    std::wstring previous;
    if (!readString(HKEY_CURRENT_USER, RegistryPath, L"PreviousSaver", previous)) previous.clear();
    previous = normalizeSaverPath(previous);
    if (!previous.empty()) {
        const DWORD attributes = GetFileAttributesW(previous.c_str());
        if (isCalmlanePath(previous) || attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            previous.clear();
        }
    }
    DWORD previousActive = 1;
    const bool restoreActive = !previous.empty() && !(readUserDword(L"PreviousActive", previousActive) && previousActive == 0);

    if (!previous.empty()) {
        writeString(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE", previous);
    } else {
        UniqueKey desktop;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, DesktopKey, 0, KEY_SET_VALUE, desktop.put()) != ERROR_SUCCESS) {
            fail("Cannot open screen saver settings.");
        }
        const LSTATUS removed = RegDeleteValueW(desktop.get(), L"SCRNSAVE.EXE");
        if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) fail("Cannot clear the screen saver selection.");
    }
    broadcast.changed();
    if (!setActive(restoreActive)) fail("Windows refused screen saver deactivation.");

    DWORD saved = 0;
    if (readUserDword(L"PreviousSaved", saved) && saved != 0) {
        DWORD previousTimeout = 600;
        if (!readUserDword(L"PreviousTimeout", previousTimeout)) previousTimeout = 600;
        if (!setTimeout(previousTimeout)) fail("Windows refused the previous screen saver timeout.");
    }
    if (isCalmlaneSelected()) {
        fail("Windows kept Calmlane selected. Close screen saver settings and check Windows policies.");
    }
    if (previous.empty()) {
        BOOL active = TRUE;
        if (!queryActive(active) || active) fail("Windows did not disable automatic screen saver activation.");
    }
}

void repairSelectedSaverPath() {
    try {
        SaverConfigurationLock lock(false);
        if (!lock.owned()) return;
        const std::wstring current = normalizeSaverPath(selectedSaver());
        const std::wstring installed = normalizeSaverPath(installedSaver());
        if (isCalmlanePath(current) && _wcsicmp(current.c_str(), installed.c_str()) != 0 && fileExists(installed)) {
            writeString(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE", installed);
            settingsNotifications.request();
        }
    } catch (...) {
        // Never reported: the repair is a courtesy on start-up.
    }
}

void setSaverTimeout(unsigned minutes) {
    SaverConfigurationLock lock(true);
    BroadcastOnExit broadcast;
    if (minutes == 0 || minutes > 240) fail("Delay must be between 1 and 240 minutes.");
    if (readSaverPolicy().timeoutSet) fail("The idle time is set by Windows policy.");
    const DWORD seconds = minutes * 60;
    applyTimeout(seconds, "Windows refused the screen saver timeout (possibly managed by policy).",
                 "The requested delay was not applied. Check Windows policies.", broadcast);
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"CalmlaneTimeoutSeconds", seconds);
}

}  // namespace calmlane
