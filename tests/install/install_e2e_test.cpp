// The setup program, Uninstall.exe and the mode change as Windows starts them: exit codes, message
// boxes, what each leaves on the machine, and the setup window with screenshots for review.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "doubles/adapters_config.h"
#include "doubles/double_store.h"
#include "install/folder_validation.h"
#include "install/install_support.h"
#include "install/protected_folder.h"
#include "install/installer.h"
#include "install/setup_lock.h"
#include "service/event_kinds.h"
#include "service/journal.h"
#include "support/debug_log.h"
#include "support/gdi_probe.h"
#include "support/process.h"
#include "support/registry_scratch.h"
#include "ui/ui.h"

namespace calmlane {
namespace {

using namespace test;

// Staging folders the setup program or the uninstaller left in the Windows temp folder.
std::vector<std::wstring> stagingLeft() {
    std::vector<std::wstring> left;
    std::error_code error;
    for (std::filesystem::directory_iterator it(windowsTempFolder(), error), end; !error && it != end;
         it.increment(error)) {
        if (it->path().filename().wstring().rfind(L"Calmlane-", 0) == 0) left.push_back(it->path().wstring());
    }
    return left;
}

// How a run of the program ended: "exit=<code>", then " box=<text>" for each message box it showed.
std::string run(const std::wstring& program, const std::wstring& arguments) {
    const ChildResult result = runChild(program, arguments, 120000);
    std::string outcome = result.finished ? "exit=" + std::to_string(result.exitCode) : "still running";
    for (const MessageBoxSeen& box : result.boxes) outcome += " box=" + narrow(box.text);
    return outcome;
}

class InstallPrograms : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void TearDown() override { reset(); }
    static void reset() {
        cleanMachine();
        std::error_code ignored;
        for (const std::wstring& path : stagingLeft()) std::filesystem::remove_all(path, ignored);
    }
    const std::wstring target = defaultInstallFolder();
};

// Refused or declined runs change nothing. A silent install that fails shows nothing, exits with 1 and
// leaves the reason in LastInstallError, as a fleet tool needs; the same started by the main window for
// someone who waits shows the reason as well. The shipped setup refuses every folder under Wine, which
// keeps no file security. While another setup or uninstall runs, both programs exit with 1618 at once. An
// uninstall that is declined, refused while an adapter is journalled or while another runs, keeps its
// uninstaller (installed here by hand), the service and InstallPath.
TEST_F(InstallPrograms, RefusedRunsChangeNothing) {
    const std::wstring uninstaller = target + L"\\Uninstall.exe";
    const char* const KeptByHand = "service=1 run=- apps=- shortcut=0 path=ok folder=Uninstall.exe";
    const struct {
        const char* what;
        bool legacyService;
        bool installedByHand;
        bool journalled;
        std::wstring program;
        const wchar_t* arguments;
        std::string outcome;
        std::wstring error;  // LastInstallError
        const char* state;
        bool busy = false;  // another setup or uninstall holds the machine's lock
    } cases[] = {
        {"shipped setup", false, false, false, built(L"Calmlane Setup.exe"), L"--install-silent", "exit=1",
         widen(UnprotectedFolder), Removed},
        {"installer failure", true, false, false, built(L"Calmlane Setup-test.exe"), L"--install-silent", "exit=1",
         L"Please uninstall Calmlane 1.x before installing the native edition.", Removed},
        {"update from the window that fails", true, false, false, built(L"Calmlane Setup-test.exe"),
         L"--install-update",
         "exit=1 box=The Calmlane update could not be installed.\r\n\r\nPlease uninstall Calmlane 1.x before "
         "installing the native edition.",
         L"Please uninstall Calmlane 1.x before installing the native edition.", Removed},
        {"uninstall declined (the box answered No)", false, true, false, uninstaller, L"--uninstall",
         "exit=1602 box=Remove Calmlane from this computer? The service, the program files, the Start menu shortcut "
         "and the machine settings are removed. Your own screen saver settings stay.",
         L"<missing>", KeptByHand},
        {"quiet uninstall, an adapter still journalled", false, true, true, uninstaller, L"--uninstall --quiet",
         "exit=1", L"Some adapters still need recovery. Restart Windows before uninstalling.", KeptByHand},
        {"silent install while another runs", false, false, false, built(L"Calmlane Setup-test.exe"),
         L"--install-silent", "exit=1618", L"<missing>", Removed, true},
        {"uninstall while another runs", false, true, false, uninstaller, L"--uninstall",
         "exit=1618 box=Another Calmlane setup or uninstall is running. Try again when it has finished.", L"<missing>",
         KeptByHand, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cleanMachine();
        protectSystemFolders();
        if (c.legacyService) createDormantService(LegacyServiceName);
        if (c.installedByHand) {
            std::filesystem::create_directories(target);
            ASSERT_TRUE(CopyFileW(built(L"Uninstall.exe").c_str(), uninstaller.c_str(), FALSE));
            writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", target);
            createDormantService(ServiceName);
        }
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"Language", 1);
        const std::wstring device = L"PCI\\VEN_10EC&DEV_8168\\4";
        if (c.journalled) writeString(HKEY_LOCAL_MACHINE, Journal, device.c_str(), device);
        std::optional<SetupLock> running;
        if (c.busy) running.emplace();
        EXPECT_EQ(run(c.program, c.arguments), c.outcome);
        EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError"), c.error);
        EXPECT_EQ(installState(target), c.state);
        EXPECT_TRUE(stagingLeft().empty());
    }
}

// What Event Viewer shows for a service line: the registered message file's entry `id` with the line inserted.
std::wstring eventViewerText(unsigned id, const std::wstring& line) {
    const std::wstring file = regString(HKEY_LOCAL_MACHINE, EventSourceKey, L"EventMessageFile");
    const UniqueModule module(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(line.c_str())};
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                   module.get(), id, 0, reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(inserts));
    const UniqueLocal owned(text);
    return text != nullptr ? text : L"<no text>";
}

// The service's description as installed ("@<file>,-<id>"), when each of the six languages has the string.
std::wstring serviceDescription() {
    const std::wstring description =
        regString(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\CalmlaneNative", L"Description");
    const std::size_t comma = description.rfind(L",-");
    const std::wstring file = description.substr(1, comma - 1);
    const UniqueModule module(LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    for (const LANGID language : {0x409, 0x40C, 0x407, 0x804, 0xC0A, 0x410}) {
        const int bundle = _wtoi(description.c_str() + comma + 2) / 16 + 1;
        if (!FindResourceExW(module.get(), RT_STRING, MAKEINTRESOURCEW(bundle), language)) return L"untranslated";
    }
    return description;
}

TEST_F(InstallPrograms, SilentInstallThenQuietUninstall) {
    // No folder given: the default one; then a folder given, as an update or a fleet tool gives it, with
    // the mode. Program Files grants SYSTEM Modify, which a fleet tool's SYSTEM account would hold; the
    // verdict judges the folders, not the account that runs the setup.
    const std::wstring parent = L"C:\\Fleet Tools", given = parent + L"\\Calmlane";
    const struct {
        std::wstring folder, arguments;
        const char* mode;
    } cases[] = {{target, L"--install-silent", "firewall=1 configured=0"},
                 {given, L"--install-silent " + quoted(given) + L" --mode adapters", "firewall=0 configured=1"}};
    for (const auto& [folder, arguments, mode] : cases) {
        SCOPED_TRACE(narrow(folder));
        reset();  // the last uninstaller's own copy is removed by the next program start, not by itself
        protectSystemFolders();
        std::filesystem::create_directories(parent);
        protectFolders({parent});
        ASSERT_EQ(run(built(L"Calmlane Setup-test.exe"), arguments), "exit=0");
        EXPECT_EQ(installState(folder), Installed);
        EXPECT_EQ(modeState(), mode);
        EXPECT_EQ(eventViewerText(1, L"Any line."), L"Any line.");
        for (const EventKind& kind : eventKinds()) {
            const std::wstring line = kind.prefix + std::wstring(L"1");
            EXPECT_EQ(eventViewerText(kind.id, line), line);
        }
        EXPECT_EQ(serviceDescription(), L"@" + folder + L"\\Calmlane.exe,-101");
        EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, EventSourceKey, L"TypesSupported", 0), 7u);
        EXPECT_TRUE(stagingLeft().empty());
        if (folder == given) {
            // An update that the main window started for someone waiting ends with the new version's window,
            // which the uninstall below closes; no other main window is open here.
            EXPECT_EQ(run(built(L"Calmlane Setup-test.exe"), L"--install-update " + quoted(given)), "exit=0");
            EXPECT_TRUE(waitUntil([] { return FindWindowW(UiClass, nullptr) != nullptr; }, 20000));
        }
        // What a fleet tool runs: the installed uninstaller, no questions, the result as exit code.
        EXPECT_EQ(run(folder + L"\\Uninstall.exe", L"--uninstall --quiet"), "exit=0");
        EXPECT_EQ(installState(folder), Removed);
        EXPECT_FALSE(valueExists(HKEY_LOCAL_MACHINE, EventSourceKey, L"EventMessageFile"));
    }
    std::error_code ignored;
    std::filesystem::remove_all(parent, ignored);
}

// A fleet install that names the mode is ready for its first pause. An update keeps a chosen mode, a mode
// that is none is refused with its reason, and the next success clears that reason.
TEST_F(InstallPrograms, AModeGivenToTheSilentInstallIsTheFirstPausesMode) {
    protectSystemFolders();
    doubles::setAdapters({doubles::physicalAdapter(1)});
    const std::wstring setup = built(L"Calmlane Setup-test.exe");
    DebugLog log;
    ASSERT_EQ(run(setup, L"--install-silent --mode adapters"), "exit=0");
    EXPECT_EQ(run(target + L"\\Calmlane.scr", L"--network-test"), "exit=0");
    EXPECT_TRUE(log.contains("Physical Ethernet/Wi-Fi adapters paused."));
    EXPECT_EQ(run(setup, L"--install-silent --mode firewall"), "exit=0");
    EXPECT_EQ(modeState(), "firewall=0 configured=1");
    EXPECT_EQ(run(setup, L"--install-silent --mode wifi"), "exit=1");
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError"),
              L"Unknown network interruption mode: use --mode firewall or --mode adapters.");
    EXPECT_EQ(run(setup, L"--install-silent"), "exit=0");
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError"), L"<missing>");
}

// A --log file's lines, each without its time, which must begin it.
std::vector<std::string> logLines(const wchar_t* path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> lines;
    const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  (.*)\r$)");
    std::smatch match;
    for (std::string line; std::getline(file, line);) {
        lines.push_back(std::regex_match(line, match, stamped) ? match[1].str() : "unstamped: " + line);
    }
    return lines;
}

// --log, by the caller's path: the steps of a refused and of a successful run, appended. A file that
// cannot be opened ends the run before it begins.
TEST_F(InstallPrograms, TheLogHasTheStepsOfAFailedAndOfASuccessfulRun) {
    protectSystemFolders();
    const std::wstring setup = built(L"Calmlane Setup-test.exe");
    DeleteFileW(L"setup-test.log");  // relative: the child runs in this process's current folder
    writeString(HKEY_LOCAL_MACHINE, UninstallKey, L"DisplayVersion", L"1.10");
    EXPECT_EQ(run(setup, L"--install-silent --log setup-test.log"), "exit=1638");
    deleteTree(HKEY_LOCAL_MACHINE, UninstallKey);
    EXPECT_EQ(run(setup, L"--log setup-test.log --install-silent"), "exit=0");
    EXPECT_EQ(run(setup, L"--install-silent --log C:\\no-such-folder\\setup.log"), "exit=1622");
    const std::string start = "Calmlane " + narrow(Version) + ": \"" + narrow(setup) + "\" ";
    EXPECT_EQ(logLines(L"setup-test.log"),
              (std::vector<std::string>{
                  start + "--install-silent --log setup-test.log",
                  "preparation: failed: A newer version of Calmlane is installed. Uninstall it first to install this "
                  "one.",
                  "exit code 1638", start + "--log setup-test.log --install-silent", "preparation: done",
                  "folder: done", "stop service: done", "close windows: done", "copy Calmlane.exe: done",
                  "copy Calmlane.scr: done", "copy Uninstall.exe: done", "machine values: done", "service: done",
                  "start service: done", "apps entry: done", "logon start: done", "shortcut: done",
                  "package version: done", "exit code 0"}));
    EXPECT_EQ(run(built(L"Uninstall-test.exe"), L"--uninstall --quiet --log setup-test.log"), "exit=0");
    EXPECT_EQ(logLines(L"setup-test.log").back(), "exit code 0");
    DeleteFileW(L"setup-test.log");
}

// The seam-call numbers at which a whole run of the program reaches its install steps.
std::vector<DWORD> stepCalls(const std::wstring& program, const std::wstring& arguments) {
    doubles::storeSetDword(L"CallCount", 0);
    doubles::storeSetString(L"Calls", L"");
    EXPECT_EQ(runToExit(program, arguments, 120000), 0u) << narrow(program);
    std::vector<DWORD> steps;
    std::wistringstream calls(doubles::storeString(L"Calls"));
    std::wstring line;
    for (DWORD number = 1; std::getline(calls, line); ++number) {
        if (line.rfind(L"install.step ", 0) == 0) steps.push_back(number);
    }
    return steps;
}

// Runs the program with the process ended right before seam call `killAt` (0: never); 99 when it was.
DWORD runKilledAt(const std::wstring& program, const std::wstring& arguments, DWORD killAt) {
    doubles::storeSetDword(L"CallCount", 0);
    doubles::storeSetDword(L"KillAt", killAt);
    return runToExit(program, arguments, 120000);
}

// Killed before any of its steps, the installer or the uninstaller run once more ends installed, or
// removed. The uninstaller is run from outside the installation, as a fleet tool's copy would be.
TEST_F(InstallPrograms, KilledAtAnyStepASecondRunFinishes) {
    protectSystemFolders();
    const std::wstring setup = built(L"Calmlane Setup-test.exe");
    const std::wstring uninstaller = built(L"Uninstall-test.exe");
    const std::vector<DWORD> installSteps = stepCalls(setup, L"--install-silent");
    const std::vector<DWORD> uninstallSteps = stepCalls(uninstaller, L"--uninstall --quiet");
    ASSERT_GE(installSteps.size(), 10u);
    ASSERT_GE(uninstallSteps.size(), 8u);
    for (std::size_t i = 0; i < std::max(installSteps.size(), uninstallSteps.size()); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        if (i < installSteps.size()) {
            EXPECT_EQ(runKilledAt(setup, L"--install-silent", installSteps[i]), 99u);
            EXPECT_EQ(runKilledAt(setup, L"--install-silent", 0), 0u)
                << narrow(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError"));
        }
        EXPECT_EQ(installState(target), Installed);
        if (i < uninstallSteps.size()) {
            EXPECT_EQ(runKilledAt(uninstaller, L"--uninstall --quiet", uninstallSteps[i]), 99u);
        }
        EXPECT_EQ(runKilledAt(uninstaller, L"--uninstall --quiet", 0), 0u);
        EXPECT_EQ(installState(target), Removed);
        if (HasFailure()) break;
    }
}

TEST_F(InstallPrograms, ModeChangeOnlyInTheNormalNetworkState) {
    const char* const Restore = "exit=1 box=Restore the network before changing the interruption mode.";
    const char* const Unchanged = "firewall=1 configured=0";
    const struct {
        const char* what;
        bool service;
        DWORD networkState;  // 99: no value
        DWORD journalType;   // 0: no journal entry
        const wchar_t* option;
        const char* outcome;
        const char* mode;  // afterwards
    } cases[] = {
        {"no service", false, 0, 0, L"--mode-adapters", "exit=1 box=Service is not installed. Run Calmlane Setup.",
         Unchanged},
        {"never published", true, 99, 0, L"--mode-adapters", Restore, Unchanged},
        {"during a pause", true, 1, 0, L"--mode-adapters", Restore, Unchanged},
        {"adapter still journalled", true, 0, REG_SZ, L"--mode-firewall", Restore, Unchanged},
        {"stray journal value", true, 0, REG_DWORD, L"--mode-adapters", "exit=0", "firewall=0 configured=1"},
        {"normal state", true, 0, 0, L"--mode-adapters", "exit=0", "firewall=0 configured=1"},
        {"back to firewall", true, 0, 0, L"--mode-firewall", "exit=0", "firewall=1 configured=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        cleanMachine();
        if (c.service) createDormantService(ServiceName);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0);
        if (c.networkState != 99) writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", c.networkState);
        if (c.journalType == REG_SZ) writeString(HKEY_LOCAL_MACHINE, Journal, L"PCI\\X", L"PCI\\X");
        if (c.journalType == REG_DWORD) writeDword(HKEY_LOCAL_MACHINE, Journal, L"stray", 1);
        EXPECT_EQ(run(built(L"Calmlane.exe"), c.option), c.outcome);
        EXPECT_EQ(modeState(), c.mode);
    }
}

// WM_GETTEXT, which also reads an edit control of another process (GetWindowTextW would not).
std::wstring windowText(HWND window) {
    wchar_t buffer[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 5000, nullptr);
    return buffer;
}

// The window's pixels as a bitmap file, through the product's own writer.
bool saveShot(HWND window, const std::wstring& path) {
    RECT r = {};
    GetWindowRect(window, &r);
    PixelSurface shot(r.right - r.left, r.bottom - r.top);
    shot.grabScreen(r.left, r.top);
    return writeBitmapFile(path, shot.width(), shot.height(), shot.bits());
}

class SetupWindow : public InstallPrograms {
protected:
    void TearDown() override {
        setup.reset();
        InstallPrograms::TearDown();
    }
    void open(DWORD language, const std::wstring& program = built(L"Calmlane Setup.exe")) {
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"Language", language);
        window = setup.emplace(program, L"", L"Calmlane.Native.Setup").window;
        ASSERT_TRUE(window != nullptr && waitUntil([&] { return IsWindowVisible(window) != FALSE; }));
        Sleep(500);  // let it paint
    }
    void screenshot(const wchar_t* name) {
        const std::wstring path = binFolder() + L"\\..\\" + name;
        EXPECT_TRUE(saveShot(window, path));
        std::printf("Setup window screenshot: %ls\n", path.c_str());
    }
    HWND item(int id) const { return GetDlgItem(window, id); }

    std::optional<WindowedChild> setup;
    HWND window = nullptr;
};

TEST_F(SetupWindow, ARefusedFolderIsShownAndNothingIsWrittenAndTheUsersLanguageIsUsed) {
    open(1);
    EXPECT_EQ(windowText(item(204)), target);  // the folder field
    EXPECT_EQ(windowText(item(207)), L"Block with Windows Firewall");  // the mode checked at first
    EXPECT_EQ(SendMessageW(item(207), BM_GETCHECK, 0, 0), BST_CHECKED);
    screenshot(L"setup-window-en.bmp");
    // The shipped setup under Wine, which has no file security: refused, in the result line.
    SendMessageW(item(IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(windowText(item(211)), widen(UnprotectedFolder));
    EXPECT_EQ(installState(target), Removed);
    screenshot(L"setup-window-en-refused.bmp");
    EXPECT_EQ(setup->close(), 0u);

    open(3);
    EXPECT_EQ(windowText(window), L"Calmlane 安装程序");
    screenshot(L"setup-window-zh.bmp");
}

// The DLL names a program imports, and the DependentLoadFlags of its load configuration (0 without one).
struct ImageImports {
    std::vector<std::wstring> dlls;
    WORD dependentLoadFlags = 0;
};

ImageImports imageImports(const std::wstring& path) {
    ImageImports facts;
    const UniqueModule module(LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE));
    if (!module) return facts;
    const BYTE* base = reinterpret_cast<const BYTE*>(reinterpret_cast<ULONG_PTR>(module.get()) & ~ULONG_PTR(3));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         imports.VirtualAddress != 0 && entry->Name != 0; ++entry) {
        const char* name = reinterpret_cast<const char*>(base + entry->Name);
        facts.dlls.emplace_back(name, name + strlen(name));
    }
    const BYTE* config = base + nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG].VirtualAddress;
    constexpr DWORD FlagsOffset = 0x4E;  // DependentLoadFlags in IMAGE_LOAD_CONFIG_DIRECTORY64
    if (config != base && *reinterpret_cast<const DWORD*>(config) >= FlagsOffset + 2) {
        facts.dependentLoadFlags = *reinterpret_cast<const WORD*>(config + FlagsOffset);
    }
    return facts;
}

TEST(ProgramImages, StaticImportsComeFromSystem32Only) {
    const wchar_t* const KnownDlls[] = {L"kernel32.dll", L"user32.dll", L"gdi32.dll",   L"advapi32.dll",
                                        L"shell32.dll",  L"ole32.dll",  L"oleaut32.dll", L"comdlg32.dll",
                                        L"shlwapi.dll",  L"setupapi.dll", L"rpcrt4.dll", L"msvcrt.dll"};
    const struct {
        const wchar_t* program;
        bool companion;  // runs elevated from any folder: KnownDLLs only
    } programs[] = {{L"Calmlane Setup.exe", true}, {L"Uninstall.exe", true}, {L"Calmlane.exe", false}};
    for (const auto& p : programs) {
        SCOPED_TRACE(narrow(p.program));
        const ImageImports image = imageImports(built(p.program));
        EXPECT_FALSE(image.dlls.empty());
        EXPECT_EQ(image.dependentLoadFlags, LOAD_LIBRARY_SEARCH_SYSTEM32);
        for (const std::wstring& dll : image.dlls) {
            bool known = false;
            for (const wchar_t* name : KnownDlls) known = known || sameText(dll, name);
            EXPECT_TRUE(known || !p.companion) << "imports " << narrow(dll);
        }
    }
}

}  // namespace
}  // namespace calmlane
