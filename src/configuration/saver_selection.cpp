#include "configuration/saver_selection.h"

#include <stdexcept>
#include <vector>

#include "app/constants.h"
#include "app/settings.h"
#include "configuration/settings_broadcast.h"
#include "service/service_clients.h"

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

// Read from the registry on every call: the tray and the status text poll it.
bool calmlaneSelected() { return isCalmlanePath(selectedSaver()); }

bool isCalmlaneSelected() { return calmlaneSelected(); }

void activateSaver() {
    SaverConfigurationLock lock(true);
    BroadcastOnExit broadcast;
    if (readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0) != 1) {
        fail("Choose the network interruption mode in Calmlane before activation.");
    }
    if (!serviceRunning()) fail("The Calmlane service is unavailable. Reinstall with the setup program.");
    const std::wstring saver = installedSaver();
    if (!fileExists(saver)) fail("Screen saver file missing. Reinstall Calmlane.");

    if (!isCalmlaneSelected()) {
        BOOL active = FALSE;
        if (!queryActive(active)) active = FALSE;
        int timeout = 600;
        if (!queryTimeout(timeout)) timeout = 600;
        const std::wstring previous = selectedSaver();
        writeString(HKEY_CURRENT_USER, RegistryPath, L"PreviousSaver", previous);
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"PreviousActive", active ? 1 : 0);
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"PreviousTimeout", static_cast<unsigned long>(timeout));
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"PreviousSaved", 1);

        DWORD saved = 0;
        if (readUserDword(L"CalmlaneTimeoutSeconds", saved) && saved != 0) {
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
    if (!isCalmlaneSelected()) return;

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
    const DWORD seconds = minutes * 60;
    applyTimeout(seconds, "Windows refused the screen saver timeout (possibly managed by policy).",
                 "The requested delay was not applied. Check Windows policies.", broadcast);
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"CalmlaneTimeoutSeconds", seconds);
}

}  // namespace calmlane
