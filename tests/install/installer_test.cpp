// installNative, uninstallNative and the shared functions, called in-process against Wine's service
// manager. Failures are collected instead of shown.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "install/folder_validation.h"
#include "install/install_support.h"
#include "install/installer.h"
#include "service/journal.h"
#include "support/process.h"
#include "support/registry_scratch.h"

namespace calmlane {
namespace {

using namespace test;

std::string reported;
void record(const char* message) { reported += std::string(" ") + message; }

// Each returns the operation's result, then each failure it reported: "0" for a success that reported nothing.
std::string install(bool firewall = true, const wchar_t* program = L"Calmlane.exe") {
    reported.clear();
    const int result = installNative(firewall, built(program), built(L"Uninstall.exe"), record);
    return std::to_string(result) + reported;
}
std::string uninstall() {
    reported.clear();
    const int result = uninstallNative(record);
    return std::to_string(result) + reported;
}

DWORD servicePid() {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_STATUS));
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                         &needed);
    return status.dwProcessId;
}

class Installer : public ::testing::Test {
protected:
    void SetUp() override {
        cleanMachine();
        protectSystemFolders();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the shortcut step needs it, as in the setup program
    }
    void TearDown() override {
        cleanMachine();
        CoUninitialize();
    }
    const std::wstring target = defaultInstallFolder();
};

TEST_F(Installer, FirstInstallSetsUpEverything) {
    ASSERT_EQ(install(true), "0");
    EXPECT_EQ(installState(target), Installed);
    EXPECT_EQ(modeState(), "firewall=1 configured=0");
    // The folder's owner and DACL as the installer applied them (recorded by the folder-security double).
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, (std::wstring(doubles::StoreKey) + L"\\FolderSecurity").c_str(),
                        target.c_str()),
              L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;GXGR;;;BU)");
    EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"PackageVersion", 9), PackageVersion);
    // The Apps list: its entry, the day and the files' sizes.
    EXPECT_NE(regString(HKEY_LOCAL_MACHINE, UninstallKey, L"DisplayName"), L"<missing>");
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, UninstallKey, L"InstallDate"),
              std::to_wstring(now.wYear * 10000 + now.wMonth * 100 + now.wDay));
    unsigned long long bytes = 0;
    for (const wchar_t* name : InstalledFiles) bytes += std::filesystem::file_size(target + L"\\" + name);
    EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, UninstallKey, L"EstimatedSize", 0), (bytes + 1023) / 1024);

    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), ServiceName, SERVICE_QUERY_CONFIG));
    std::vector<BYTE> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfigW(service.get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(std::wstring(config->lpBinaryPathName), quoted(target + L"\\Calmlane.exe") + L" --service");
    // Wine's service manager keeps the dependencies in the service's key but does not report them.
    EXPECT_EQ(rawString(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\CalmlaneNative",
                        L"DependOnService"),
              std::wstring(L"BFE\0\0", 5));
}

TEST_F(Installer, ReinstallOverARunningInstallationKeepsTheMode) {
    ASSERT_EQ(install(false), "0");
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    const DWORD firstService = servicePid();
    // A window of the installed copy: closed by the update, which then copies over it.
    const UniqueHandle preview = std::move(test::startChild(target + L"\\Calmlane.exe", L"--preview").process);
    ASSERT_TRUE(preview);
    Sleep(2000);
    ASSERT_EQ(WaitForSingleObject(preview.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

    ASSERT_EQ(install(true), "0");
    EXPECT_EQ(WaitForSingleObject(preview.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_EQ(modeState(), "firewall=0 configured=1");
    EXPECT_EQ(installState(target), Installed);
    EXPECT_NE(servicePid(), firstService);
}

// A running copy of an installed file (a tray of another session) is moved aside and replaced.
TEST_F(Installer, ALockedFileIsMovedAsideAndTheInstallAsksForARestart) {
    ASSERT_EQ(install(), "0");
    const std::wstring executable = target + L"\\Calmlane.exe";
    {
        const UniqueHandle running(CreateFileW(executable.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(running);
        EXPECT_EQ(install(), std::to_string(ERROR_SUCCESS_REBOOT_REQUIRED));
    }
    EXPECT_EQ(std::filesystem::file_size(executable), std::filesystem::file_size(built(L"Calmlane.exe")));
    std::vector<std::wstring> aside;
    for (const auto& entry : std::filesystem::directory_iterator(target)) {
        if (entry.path().filename().wstring().rfind(L"Calmlane.exe.", 0) == 0) aside.push_back(entry.path().wstring());
    }
    ASSERT_EQ(aside.size(), 1u);
    const std::wstring operations = rawString(
        HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Session Manager", L"PendingFileRenameOperations");
    EXPECT_NE(operations.find(aside[0].substr(3)), std::wstring::npos);  // as \??\C:\...
    // Free again, the moved copy goes with the uninstall.
    EXPECT_EQ(uninstall(), "0");
    EXPECT_EQ(installState(target), Removed);
}

// Every loaded hive whose saver is the installed one gets its previous saver back, or none.
TEST_F(Installer, UninstallGivesTheScreenSaverBack) {
    ASSERT_EQ(install(), "0");
    const std::wstring installed = quoted(target + L"\\CALMLANE.scr");  // as another tool may write it
    const std::wstring other = built(L"pipe_client.exe");
    // Saver paths that a user wrote and the uninstaller must not follow: a folder that is a link (Wine's
    // here, a junction on Windows), and a variable that would be expanded in the uninstaller's environment.
    const std::wstring linked = L"C:\\saver-link";
    ASSERT_TRUE(makeUnixLink(binFolder(), linked));
    const std::wstring throughLink = linked + L"\\pipe_client.exe", expandable = L"%SystemRoot%\\notepad.exe";
    struct Hive {
        std::wstring sid;
        std::wstring selected;
        const wchar_t* previous;  // nullptr: nothing remembered
        std::wstring after;       // the saver, ScreenSaveActive and ScreenSaveTimeOut
        DWORD type = REG_SZ;      // of PreviousSaver
    } hives[] = {
        {L"S-1-5-21-1-2-3-1001", installed, other.c_str(), other + L" 0 300"},
        {L"S-1-5-21-1-2-3-1002", installed, nullptr, L"<missing> 0 <missing>"},
        {L"S-1-5-21-1-2-3-1003", other, nullptr, other + L" <missing> <missing>"},
        {L"S-1-5-21-1-2-3-1004", installed, throughLink.c_str(), L"<missing> 0 300"},
        {L"S-1-5-21-1-2-3-1005", installed, expandable.c_str(), L"<missing> 0 300", REG_EXPAND_SZ},
    };
    for (const Hive& h : hives) {
        const std::wstring product = h.sid + L"\\" + RegistryPath;
        writeString(HKEY_USERS, (h.sid + L"\\Control Panel\\Desktop").c_str(), L"SCRNSAVE.EXE", h.selected);
        if (h.previous != nullptr) {
            const std::wstring previous = h.previous;
            setRawValue(HKEY_USERS, product.c_str(), L"PreviousSaver", h.type, previous.c_str(),
                        static_cast<DWORD>((previous.size() + 1) * sizeof(wchar_t)));
            writeDword(HKEY_USERS, product.c_str(), L"PreviousActive", 0);
            writeDword(HKEY_USERS, product.c_str(), L"PreviousTimeout", 300);
            writeDword(HKEY_USERS, product.c_str(), L"PreviousSaved", 1);
        }
    }
    writeString(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"SCRNSAVE.EXE", target + L"\\Calmlane.scr");
    EXPECT_EQ(uninstall(), "0");
    for (const Hive& h : hives) {
        const std::wstring desktop = h.sid + L"\\Control Panel\\Desktop";
        const auto value = [&](const wchar_t* name) { return regString(HKEY_USERS, desktop.c_str(), name); };
        EXPECT_EQ(value(L"SCRNSAVE.EXE") + L" " + value(L"ScreenSaveActive") + L" " + value(L"ScreenSaveTimeOut"),
                  h.after);
        deleteTree(HKEY_USERS, h.sid.c_str());
    }
    EXPECT_EQ(regString(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"SCRNSAVE.EXE"), L"<missing>");
    EXPECT_TRUE(removeUnixLink(linked));
}

// Refused before anything is written: the first edition is still installed, a newer version is (only
// an uninstall goes back), or someone made the folder between the folder check and the install (judged
// again from the open folder).
TEST_F(Installer, RefusedInstallsWriteNothing) {
    const struct {
        const char* what;
        void (*prepare)(const std::wstring& target);
        const char* message;
        const char* state;
        int result = 1;
    } cases[] = {
        {"first edition", [](const std::wstring&) { createDormantService(LegacyServiceName); },
         "Please uninstall Calmlane 1.x before installing the native edition.", Removed},
        {"newer version",  // Windows Installer's code for it, which deployment tools know
         [](const std::wstring&) { writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"DisplayVersion", L"1.10"); },
         "A newer version of Calmlane is installed. Uninstall it first to install this one.", Removed, 1638},
        {"folder made by a user",
         [](const std::wstring& target) {
             std::filesystem::create_directories(target);
             setFolderFacts(target, FILE_ATTRIBUTE_DIRECTORY, UserMadeSddl);
         },
         UnprotectedFolder, "service=- run=- apps=- shortcut=0 path=- folder="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cleanMachine();
        protectSystemFolders();
        c.prepare(target);
        EXPECT_EQ(install(), std::to_string(c.result) + " " + c.message);
        EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError"), widen(c.message));
        EXPECT_EQ(installState(target), c.state);
    }
}

// From the moment the folder is created until the install ends, nobody can rename it away and put
// another in its place.
TEST_F(Installer, TheFolderIsHeldThroughTheInstall) {
    doubles::storeSetString(L"StepRenameProbe", target);
    ASSERT_EQ(install(), "0");
    std::wistringstream renames(doubles::storeString(L"StepRenames"));
    std::wstring line;
    ASSERT_TRUE(std::getline(renames, line));
    EXPECT_EQ(line, L"folder missing");
    int held = 0;
    for (; std::getline(renames, line); ++held) EXPECT_TRUE(line.ends_with(L" held")) << narrow(line);
    EXPECT_GE(held, 10);
}

TEST_F(Installer, AServiceThatDoesNotComeUpIsReported) {
    for (const auto& [mode, expected] :
         {std::pair{2ul, "1 Service failed to start."}, {1ul, "1 Service startup timed out."}}) {
        doubles::storeSetDword(L"StandinMode", mode);
        EXPECT_EQ(install(true, L"service_standin.exe"), expected);
        deleteServiceNamed(ServiceName);
    }
}

TEST_F(Installer, MovesOutOfTheOldDefaultFolder) {
    const std::wstring old = programFiles() + L"\\CalmlaneNative";
    std::filesystem::create_directories(old);
    for (const wchar_t* name : InstalledFiles) writeFile(old + L"\\" + name);
    writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", old);
    installDirectoryOverride = target;
    ASSERT_EQ(install(), "0");
    EXPECT_FALSE(fileExists(old));
    EXPECT_EQ(installState(target), Installed);
}

TEST_F(Installer, UninstallWaitsForTheAdapterJournalToEmpty) {
    // The test variant as the service, in adapter mode, with an adapter that cannot be found yet: its
    // entry stays pending through the service's own release at stop.
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 0);
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    doubles::storeSetString(L"FailCall", L"adapter.locateNode");
    ASSERT_EQ(install(false, L"Calmlane-test.exe"), "0");
    const std::wstring device = L"PCI\\VEN_8086&DEV_15B8\\1";
    writeString(HKEY_LOCAL_MACHINE, Journal, device.c_str(), device);
    EXPECT_EQ(uninstall(), "1 Some adapters still need recovery. Restart Windows before uninstalling.");
    // The service was started again to give the adapter back; the installation is untouched.
    const DWORD state = serviceState(ServiceName);
    EXPECT_TRUE(state == SERVICE_RUNNING || state == SERVICE_START_PENDING) << state;
    EXPECT_TRUE(fileExists(target + L"\\Uninstall.exe"));

    // Values the service's release never clears do not count: another type, or empty data.
    doubles::storeSetString(L"FailCall", L"");
    deleteSavedDevice(device);
    const DWORD number = 7;
    setRawValue(HKEY_LOCAL_MACHINE, Journal, L"stray", REG_DWORD, &number, sizeof(number));
    setRawValue(HKEY_LOCAL_MACHINE, Journal, L"empty", REG_SZ, L"", 0);
    EXPECT_EQ(uninstall(), "0");
    EXPECT_EQ(installState(target), Removed);
    UniqueKey machine;
    EXPECT_NE(RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryPath, 0, KEY_READ, machine.put()), ERROR_SUCCESS);
}

// A file that cannot be deleted stops the uninstall only after everything that runs the installed files
// is gone; a second run finishes.
TEST_F(Installer, AnUninstallStoppedHalfWayLeavesNothingThatStartsTheProduct) {
    ASSERT_EQ(install(), "0");
    {
        const UniqueHandle lock(
            CreateFileW((target + L"\\Calmlane.scr").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
        EXPECT_EQ(uninstall(), "1 File is in use. Close screen saver previews and retry uninstall.");
    }
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError"),
              L"File is in use. Close screen saver previews and retry uninstall.");
    EXPECT_EQ(installState(target), "service=- run=- apps=- shortcut=0 path=ok folder=Calmlane.scr,Uninstall.exe");
    EXPECT_EQ(uninstall(), "0");
    EXPECT_EQ(installState(target), Removed);
}

TEST_F(Installer, UninstallCleansUpWithoutTheServiceAndKeepsForeignFiles) {
    ASSERT_EQ(install(), "0");
    deleteServiceNamed(ServiceName);
    writeFile(target + L"\\notes.txt");
    EXPECT_EQ(uninstall(), "0");
    EXPECT_EQ(installState(target), "service=- run=- apps=- shortcut=0 path=- folder=notes.txt");
}

// An installation folder that a user made again as a link (Wine's here; on Windows a junction, say into
// "\\RPC Control"), or that others could change, keeps what it holds: only what is really the
// installation is deleted. All the rest goes, and the run says so.
TEST_F(Installer, UninstallDeletesNothingThroughAFolderItCannotTrust) {
    const std::wstring elsewhere = L"C:\\calmlane-elsewhere";
    for (const bool link : {true, false}) {
        SCOPED_TRACE(link ? "a link" : "made by a user");
        ASSERT_EQ(install(), "0");
        if (link) {
            deleteServiceNamed(ServiceName);  // before its folder goes
            std::filesystem::remove_all(target);
            std::filesystem::create_directories(elsewhere);
            for (const wchar_t* name : InstalledFiles) writeFile(elsewhere + L"\\" + name);
            ASSERT_TRUE(makeUnixLink(elsewhere, target));
        } else {
            setFolderFacts(target, FILE_ATTRIBUTE_DIRECTORY, UserMadeSddl);
        }
        EXPECT_EQ(uninstall(), "1 " + std::string(FolderLeftBehind));
        EXPECT_EQ(installState(target),
                  "service=- run=- apps=- shortcut=0 path=- folder=Calmlane.exe,Calmlane.scr,Uninstall.exe");
        if (link) {
            EXPECT_TRUE(removeUnixLink(target));
        }
        cleanMachine();
        protectSystemFolders();
    }
    std::filesystem::remove_all(elsewhere);
}

TEST(CopyWithRetry, RetriesOnlyWhileTheTargetIsLocked) {
    const std::wstring from = built(L"Uninstall.exe");
    const std::wstring to = binFolder() + L"\\copy-target.tmp";
    writeFile(to);
    ULONGLONG lockedMs = 0;
    {
        UniqueHandle lock(CreateFileW(to.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
        const ULONGLONG start = GetTickCount64();
        EXPECT_FALSE(copyWithRetry(from, to));
        lockedMs = GetTickCount64() - start;
    }
    {
        HANDLE raw = CreateFileW(to.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(raw, INVALID_HANDLE_VALUE);
        std::thread release([raw] {
            Sleep(400);
            CloseHandle(raw);
        });
        EXPECT_TRUE(copyWithRetry(from, to));
        release.join();
    }
    // Another error is not retried: it fails at once, where the locked target was tried for seconds.
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(copyWithRetry(binFolder() + L"\\no-such-file.exe", to));
    EXPECT_LT(GetTickCount64() - start, lockedMs / 4);
    DeleteFileW(to.c_str());
}

}  // namespace
}  // namespace calmlane
