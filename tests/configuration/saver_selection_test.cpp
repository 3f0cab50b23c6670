// Selecting and deselecting the product's saver against Wine's real registry and SystemParametersInfoW.
#include "configuration/saver_selection.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "configuration/settings_broadcast.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"
#include "tray/network_status.h"

namespace calmlane {
namespace {

namespace fs = std::filesystem;

using test::thrownBy;

std::wstring selected() {
    std::wstring path;
    return readString(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE", path) ? path : L"<none>";
}
void select(const std::wstring& path) { writeString(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE", path); }

int timeout() {
    int seconds = -1;
    SystemParametersInfoW(SPI_GETSCREENSAVETIMEOUT, 0, &seconds, 0);
    return seconds;
}
void setWindowsTimeout(int seconds) {
    SystemParametersInfoW(SPI_SETSCREENSAVETIMEOUT, seconds, nullptr, SPIF_UPDATEINIFILE);
}
bool active() {
    BOOL on = FALSE;
    SystemParametersInfoW(SPI_GETSCREENSAVEACTIVE, 0, &on, 0);
    return on != FALSE;
}
void setWindowsActive(bool on) { SystemParametersInfoW(SPI_SETSCREENSAVEACTIVE, on, nullptr, SPIF_UPDATEINIFILE); }
// A value of the product's user key, "-" when absent.
std::string userDword(const wchar_t* name) {
    const DWORD value = readDword(HKEY_CURRENT_USER, RegistryPath, name, 0xDEAD);
    return value == 0xDEAD ? "-" : std::to_string(value);
}
std::wstring userString(const wchar_t* name) {
    std::wstring value;
    return readString(HKEY_CURRENT_USER, RegistryPath, name, value) ? value : L"<none>";
}

// Holds the configuration lock on another thread (the mutex is re-entrant for its owner).
class LockHolder {
public:
    explicit LockHolder(bool abandon = false) {
        thread_ = std::thread([this, abandon] {
            const UniqueHandle mutex(CreateMutexW(nullptr, FALSE, SaverConfigurationMutex));
            WaitForSingleObject(mutex.get(), 0);
            held_ = true;
            if (abandon) return;  // ends without releasing: the mutex is abandoned
            test::waitUntil([this] { return release_.load(); }, INFINITE, 5);
            ReleaseMutex(mutex.get());
        });
        test::waitUntil([this] { return held_.load(); }, INFINITE, 5);
        if (abandon) thread_.join();
    }
    ~LockHolder() {
        release_ = true;
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
    std::atomic<bool> held_{false}, release_{false};
};

class SaverSelection : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        service = new test::InstalledService();
        ASSERT_TRUE(service->start());
        otherSaver = fs::temp_directory_path() / "Ribbons.scr";
        std::ofstream(otherSaver) << "x";
    }
    static void TearDownTestSuite() {
        delete service;
        fs::remove(otherSaver);
    }
    void SetUp() override {
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
        RegDeleteKeyValueW(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE");
        setWindowsTimeout(900);
        setWindowsActive(false);
    }
    void TearDown() override { settingsNotifications.waitIdle(2000); }

    // A path as the checks show it: "installed", "other" (the other saver as written) or the path itself.
    std::string shown(const std::wstring& path) const {
        if (path == installed) return "installed";
        return path == otherSaver.wstring() ? "other" : test::narrow(path);
    }
    // What Windows uses now: "saver=installed active=1 timeout=420".
    std::string current() const {
        return "saver=" + shown(selected()) + " active=" + std::to_string(active()) +
               " timeout=" + std::to_string(timeout());
    }
    // What activation remembered of the user's settings, and the product's own delay.
    std::string remembered() const {
        return "saver=" + shown(userString(L"PreviousSaver")) + " active=" + userDword(L"PreviousActive") +
               " timeout=" + userDword(L"PreviousTimeout") + " saved=" + userDword(L"PreviousSaved") +
               " own=" + userDword(L"CalmlaneTimeoutSeconds");
    }

    test::EnglishUser scratch;
    static test::InstalledService* service;
    static fs::path otherSaver;
    const std::wstring installed = installDir() + L"\\Calmlane.scr";
};
test::InstalledService* SaverSelection::service = nullptr;
fs::path SaverSelection::otherSaver;

TEST_F(SaverSelection, ActivationIsRefusedUntilEverythingIsInPlaceAndChangesNothing) {
    select(otherSaver.wstring());
    test::deleteTree(HKEY_LOCAL_MACHINE, RegistryPath);
    EXPECT_EQ(thrownBy(activateSaver), "Choose the network interruption mode in Calmlane before activation.");
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 2);
    EXPECT_EQ(thrownBy(activateSaver), "Choose the network interruption mode in Calmlane before activation.");
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);

    const std::wstring moved = installed + L".moved";
    ASSERT_TRUE(MoveFileW(installed.c_str(), moved.c_str()));
    EXPECT_EQ(thrownBy(activateSaver), "Screen saver file missing. Reinstall Calmlane.");
    ASSERT_TRUE(MoveFileW(moved.c_str(), installed.c_str()));

    ASSERT_TRUE(service->stop());
    EXPECT_EQ(thrownBy(activateSaver), "The Calmlane service is unavailable. Reinstall with the setup program.");
    ASSERT_TRUE(service->start());

    EXPECT_EQ(current(), "saver=other active=0 timeout=900");
    EXPECT_EQ(remembered(), "saver=<none> active=- timeout=- saved=- own=-");
}

TEST_F(SaverSelection, FirstActivationRemembersTheUsersSettingsAndLaterOnesKeepThem) {
    const std::wstring asTyped = L"  \"" + otherSaver.wstring() + L"\"";
    select(asTyped);
    setWindowsActive(true);
    writeDword(HKEY_CURRENT_USER, RegistryPath, L"CalmlaneTimeoutSeconds", 420);
    activateSaver();
    EXPECT_EQ(current(), "saver=installed active=1 timeout=420");
    const std::string usersSettings = "saver=" + test::narrow(asTyped) + " active=1 timeout=900 saved=1 own=420";
    EXPECT_EQ(remembered(), usersSettings);  // the saver as read, not normalised

    setWindowsTimeout(1200);
    select(L"%ProgramFiles%\\Calmlane\\calmlane.SCR");
    activateSaver();
    EXPECT_EQ(current(), "saver=installed active=1 timeout=1200");  // rewritten to the installed path; delay kept
    EXPECT_EQ(remembered(), usersSettings);
}

TEST_F(SaverSelection, DeactivationGivesTheUsersSaverFlagAndDelayBack) {
    select(otherSaver.wstring());
    setWindowsActive(false);
    activateSaver();
    setWindowsTimeout(780);
    deactivateSaver();
    EXPECT_EQ(current(), "saver=" + shown(normalizeSaverPath(otherSaver.wstring())) + " active=0 timeout=900");
    // The remembered values stay; the product's own delay comes back with the next activation.
    EXPECT_EQ(remembered(), "saver=other active=0 timeout=900 saved=1 own=780");

    // An unreadable PreviousActive means the user's saver was active.
    activateSaver();
    RegDeleteKeyValueW(HKEY_CURRENT_USER, RegistryPath, L"PreviousActive");
    deactivateSaver();
    EXPECT_TRUE(active());
}

TEST_F(SaverSelection, DeactivationWithAnotherSaverOrNoneChangesNothing) {
    select(otherSaver.wstring());
    setWindowsActive(true);
    EXPECT_NO_THROW(deactivateSaver());
    EXPECT_EQ(current(), "saver=other active=1 timeout=900");
    RegDeleteKeyValueW(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE");
    EXPECT_NO_THROW(deactivateSaver());
    EXPECT_EQ(current(), "saver=<none> active=1 timeout=900");
    EXPECT_EQ(remembered(), "saver=<none> active=- timeout=- saved=- own=-");
}

TEST_F(SaverSelection, AnUnusablePreviousSaverLeavesNoSaverAndNoAutomaticStart) {
    const fs::path folder = fs::temp_directory_path() / "SaverFolder.scr";
    fs::create_directories(folder);
    const std::wstring cases[] = {L"", installed, L"C:\\Elsewhere\\Calmlane.ScreenSaver.scr", folder.wstring(),
                                  L"C:\\gone\\Mystify.scr"};
    for (const std::wstring& previous : cases) {
        SCOPED_TRACE(test::narrow(previous));
        test::RegistryScratch::wipe();
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
        select(installed);
        setWindowsActive(true);
        writeString(HKEY_CURRENT_USER, RegistryPath, L"PreviousSaver", previous);
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"PreviousActive", 1);
        deactivateSaver();
        EXPECT_EQ(current(), "saver=<none> active=0 timeout=900");
    }
    fs::remove(folder);
}

TEST_F(SaverSelection, ProductSaversAreRecognisedInEveryForm) {
    const fs::path folder = fs::temp_directory_path() / "Calmlane Long Folder";
    fs::create_directories(folder);
    const fs::path longFile = folder / "Calmlane.ScreenSaver.scr";
    std::ofstream(longFile) << "x";
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(longFile.c_str(), shortPath, MAX_PATH), 0u);
    ASSERT_NE(std::wstring(shortPath), longFile.wstring());
    for (const wchar_t* path : {static_cast<const wchar_t*>(shortPath), L"\"C:\\Program Files\\Calmlane\\Calmlane.scr\"",
                                L"\t%ProgramFiles%\\Calmlane\\CALMLANE.SCR ", L"C:/Tools/Calmlane/Calmlane.scr",
                                L"Calmlane.scr"}) {
        EXPECT_TRUE(isCalmlanePath(path)) << test::narrow(path);
    }
    for (const wchar_t* path : {L"C:\\Tools\\Calmlane.scr.bak", L"C:\\Tools\\NotCalmlane.scr", L""}) {
        EXPECT_FALSE(isCalmlanePath(path)) << test::narrow(path);
    }
    EXPECT_EQ(normalizeSaverPath(L" \"\t"), L"");
    EXPECT_EQ(normalizeSaverPath(L"C:/a/b.scr"), L"C:\\a\\b.scr");
    select(std::wstring(L"\"") + shortPath + L"\"");
    EXPECT_TRUE(isCalmlaneSelected());
    fs::remove_all(folder);
}

// Windows' own screen-saver policies win over the user's settings: a forced saver that is the installed
// file, however spelt, is selected; another one (System32's for a bare name, or none that exists) or savers
// forced off refuse the activation before anything changes; a forced delay is the organisation's.
TEST_F(SaverSelection, WindowsPoliciesWinAndARefusalComesBeforeAnyChange) {
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(installed.c_str(), shortPath, MAX_PATH), 0u);
    const std::string other = "Windows policy sets another screen saver. Calmlane cannot be enabled.";
    const std::string unchanged = "saver=<none> active=0 timeout=900";
    const std::string activated = "saver=installed active=1 timeout=600";
    const struct {
        const wchar_t *saver, *active, *timeout;  // the forced values; nullptr: not set
        const char* effective;                    // before the activation
        std::string activation, after;
    } rows[] = {
        {shortPath, nullptr, nullptr, "selected=1 active=0 timeout=900 block=0", "nothing thrown", activated},
        {L" \"%ProgramFiles%/Calmlane/CALMLANE.SCR\"", L"1", nullptr, "selected=1 active=1 timeout=900 block=0",
         "nothing thrown", activated},
        {otherSaver.c_str(), nullptr, nullptr, "selected=0 active=0 timeout=900 block=1", other, unchanged},
        {L"Calmlane.scr", nullptr, nullptr, "selected=0 active=0 timeout=900 block=1", other, unchanged},
        {L"C:\\Gone\\Calmlane.scr", L"1", nullptr, "selected=0 active=1 timeout=900 block=1", other, unchanged},
        {nullptr, L"0", L"300", "selected=0 active=0 timeout=300 block=2",
         "Windows policy turns the screen saver off. Calmlane cannot be enabled.", unchanged},
        {nullptr, L"1", L"420", "selected=0 active=1 timeout=420 block=0", "nothing thrown",
         "saver=installed active=1 timeout=900"},  // the product's own 600 s are not applied
        {nullptr, L"yes", L"7 min", "selected=0 active=0 timeout=900 block=0", "nothing thrown", activated},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.effective);
        test::RegistryScratch::wipe();
        SetUp();
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"CalmlaneTimeoutSeconds", 600);
        for (const auto& [name, value] : {std::pair{L"SCRNSAVE.EXE", row.saver}, {L"ScreenSaveActive", row.active},
                                          {L"ScreenSaveTimeOut", row.timeout}}) {
            if (value != nullptr) writeString(HKEY_CURRENT_USER, SaverPolicyKey, name, value);
        }
        const EffectiveSaver e = effectiveSaver();
        EXPECT_EQ("selected=" + std::to_string(e.selected) + " active=" + std::to_string(e.active) +
                      " timeout=" + std::to_string(e.timeoutSeconds) + " block=" + std::to_string(int(e.block)),
                  row.effective);
        EXPECT_EQ(isCalmlaneSelected(), e.selected);
        EXPECT_EQ(thrownBy(activateSaver), row.activation);
        EXPECT_EQ(current(), row.after);
    }
    writeString(HKEY_CURRENT_USER, SaverPolicyKey, L"ScreenSaveTimeOut", L"420");
    EXPECT_EQ(thrownBy([] { setSaverTimeout(5); }), "The idle time is set by Windows policy.");
}

TEST_F(SaverSelection, LengthsAreTakenFromWhatEachCallCounts) {
    // RegGetValueW counts the terminator: a 32,767-character selection fills the 65,536-byte buffer and
    // is read back whole; one character more does not fit and reads as no selection.
    const std::wstring longest = L"C:\\" + std::wstring(32767 - 3, L'd');
    select(longest);
    EXPECT_EQ(selected(), longest);
    select(longest + L"x");
    EXPECT_EQ(selected(), L"<none>");
    EXPECT_FALSE(isCalmlaneSelected());

    // ExpandEnvironmentStringsW counts the terminator, GetLongPathNameW does not: no character is lost
    // or added either way. (Paths of thousands of characters are left out: Wine's GetLongPathNameW
    // overflows its stack on them.)
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GT(GetEnvironmentVariableW(L"SystemRoot", windows, MAX_PATH), 0u);
    const std::wstring deep = L"\\" + std::wstring(900, L'e') + L"\\Calmlane.scr";
    EXPECT_EQ(normalizeSaverPath(L"%SystemRoot%" + deep), std::wstring(windows) + deep);
    select(L"%SystemRoot%" + deep);
    EXPECT_TRUE(isCalmlaneSelected());

    const fs::path folder = fs::temp_directory_path() / "A Rather Long Folder Name";
    fs::create_directories(folder);
    const fs::path file = folder / "Calmlane.ScreenSaver.scr";
    std::ofstream(file) << "x";
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(file.c_str(), shortPath, MAX_PATH), 0u);
    wchar_t longPath[MAX_PATH] = {};
    ASSERT_GT(GetLongPathNameW(shortPath, longPath, MAX_PATH), 0u);
    EXPECT_EQ(normalizeSaverPath(shortPath), std::wstring(longPath));
    fs::remove_all(folder);
}

TEST_F(SaverSelection, RepairPointsAStaleProductPathAtTheInstalledFile) {
    // Windows' own dialog stores the 8.3 form: it is the installed saver, selected and left as it is.
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_GT(GetShortPathNameW(installed.c_str(), shortPath, MAX_PATH), 0u);
    ASSERT_NE(std::wstring(shortPath), installed);
    select(shortPath);
    setWindowsActive(true);
    repairSelectedSaverPath();
    EXPECT_EQ(selected(), shortPath);
    EXPECT_TRUE(isCalmlaneSelected());
    EXPECT_EQ(networkStatus().rfind(L"Calmlane is configured and enabled as the screen saver.", 0), 0u)
        << test::narrow(networkStatus());

    select(L"D:\\Old\\Calmlane.ScreenSaver.scr");
    repairSelectedSaverPath();
    EXPECT_EQ(selected(), normalizeSaverPath(installed));
    select(otherSaver.wstring());
    repairSelectedSaverPath();
    EXPECT_EQ(selected(), otherSaver.wstring());  // not ours: left alone

    const std::wstring moved = installed + L".moved";
    ASSERT_TRUE(MoveFileW(installed.c_str(), moved.c_str()));
    select(L"D:\\Old\\Calmlane.ScreenSaver.scr");
    repairSelectedSaverPath();
    EXPECT_EQ(selected(), L"D:\\Old\\Calmlane.ScreenSaver.scr");  // nothing installed to point at
    ASSERT_TRUE(MoveFileW(moved.c_str(), installed.c_str()));

    LockHolder busy;
    repairSelectedSaverPath();  // steps aside silently
    EXPECT_EQ(selected(), L"D:\\Old\\Calmlane.ScreenSaver.scr");
}

TEST_F(SaverSelection, TimeoutIsCheckedAfterTheLockAndSetInMinutes) {
    EXPECT_EQ(thrownBy([] { setSaverTimeout(0); }), "Delay must be between 1 and 240 minutes.");
    EXPECT_EQ(thrownBy([] { setSaverTimeout(241); }), "Delay must be between 1 and 240 minutes.");
    EXPECT_EQ(timeout(), 900);
    setSaverTimeout(1);
    EXPECT_EQ(timeout(), 60);
    setSaverTimeout(240);
    EXPECT_EQ(timeout(), 14400);
    EXPECT_EQ(userDword(L"CalmlaneTimeoutSeconds"), "14400");
    {
        LockHolder busy;
        const std::string refused = "Another screen saver operation is in progress. Please try again.";
        EXPECT_EQ(thrownBy([] { setSaverTimeout(0); }), refused);
        EXPECT_EQ(thrownBy(activateSaver), refused);
        EXPECT_EQ(thrownBy(deactivateSaver), refused);
    }
    LockHolder abandoned(true);
    EXPECT_NO_THROW(setSaverTimeout(5));  // a holder that died counts as released
    EXPECT_EQ(timeout(), 300);
}

// Desktop-settings broadcasts that reached a top-level window of this thread.
int broadcastsSeen = 0;
LRESULT CALLBACK countBroadcasts(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTINGCHANGE && lParam != 0 &&
        std::wstring(reinterpret_cast<const wchar_t*>(lParam)) == L"Control Panel\\Desktop") {
        ++broadcastsSeen;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST_F(SaverSelection, ChangesTellTheOtherPrograms) {
    const struct {
        const char* what;
        void (*change)();
    } rows[] = {
        {"delay", [] { setSaverTimeout(7); }},
        {"deselection", [] {
             writeString(HKEY_CURRENT_USER, DesktopKey, L"SCRNSAVE.EXE", installDir() + L"\\Calmlane.scr");
             deactivateSaver();
         }},
    };
    HWND window = test::createProbeWindow(L"CalmlaneBroadcastWatcher", countBroadcasts, WS_POPUP);
    for (const auto& row : rows) {
        settingsNotifications.waitIdle(3000);  // nothing of the row before may count for this one
        test::pump();
        broadcastsSeen = 0;
        row.change();
        EXPECT_TRUE(test::pumpUntil([] { return broadcastsSeen > 0; }, 3000)) << row.what;
    }
    DestroyWindow(window);
}

}  // namespace
}  // namespace calmlane
