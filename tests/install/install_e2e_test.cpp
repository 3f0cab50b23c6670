// The setup program, Uninstall.exe and the mode change as Windows starts them: exit codes, message
// boxes, what each leaves on the machine, and the setup window with screenshots for review.
#include <gtest/gtest.h>
#include <wincodec.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "doubles/double_store.h"
#include "install/install_support.h"
#include "install/installer.h"
#include "install/protected_folder.h"
#include "service/adapters.h"
#include "support/process.h"
#include "support/registry_scratch.h"

namespace calmlane {
namespace {

using namespace test;

const wchar_t* const Unprotected =
    L"Choose a protected folder (for example under Program Files). User-writable parent folders and links are not "
    L"safe for a Windows service.";

std::wstring quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// Staging folders the setup program or the uninstaller left in the Windows temp folder.
std::vector<std::wstring> stagingLeft() {
    std::vector<std::wstring> left;
    std::error_code error;
    for (std::filesystem::directory_iterator it(windowsTempFolder(), error), end; !error && it != end;
         it.increment(error)) {
        const std::wstring name = it->path().filename().wstring();
        if (name.rfind(L"Calmlane-", 0) == 0) left.push_back(name);
    }
    return left;
}

void removeStaging() {
    std::error_code ignored;
    for (const std::wstring& name : stagingLeft()) std::filesystem::remove_all(windowsTempFolder() + L"\\" + name, ignored);
}

class InstallPrograms : public ::testing::Test {
protected:
    void SetUp() override {
        cleanMachine();
        removeStaging();
    }
    void TearDown() override { cleanMachine(); }
    const std::wstring target = defaultInstallFolder();
};

// What a fleet tool sees of a silent install that fails: nothing on screen, exit code 1 and the
// reason in LastInstallError. The shipped setup refuses every folder under Wine, which keeps no file security.
TEST_F(InstallPrograms, SilentFailuresShowNothing) {
    struct Case {
        const char* what;
        const wchar_t* program;
        std::wstring arguments;
        bool legacyService;
        const wchar_t* error;
    } cases[] = {
        {"shipped setup, default folder", L"Calmlane Setup.exe", L"--install-silent", false, Unprotected},
        {"shipped setup, given folder", L"Calmlane Setup.exe", L"--install-silent " + quoted(target), false,
         Unprotected},
        {"installer failure", L"Calmlane Setup-test.exe", L"--install-silent", true,
         L"Please uninstall Calmlane 1.x before installing the native edition."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cleanMachine();
        protectSystemFolders();
        if (c.legacyService) createDormantService(LegacyServiceName);
        const ChildResult result = runChild(binFolder() + L"\\" + c.program, c.arguments, 60000);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, 1u);
        for (const MessageBoxSeen& box : result.boxes) ADD_FAILURE() << std::filesystem::path(box.text);
        EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError"), c.error);
        EXPECT_FALSE(fileExists(target + L"\\Calmlane.exe"));
        EXPECT_EQ(serviceState(ServiceName), 0u);
        EXPECT_TRUE(stagingLeft().empty());
    }
}

TEST_F(InstallPrograms, SilentInstallThenQuietUninstall) {
    protectSystemFolders();
    // No folder given: the default one. Program Files grants SYSTEM Modify, which a fleet tool's SYSTEM
    // account would hold; the verdict judges the folders, not the account that runs the setup.
    const ChildResult setup = runChild(binFolder() + L"\\Calmlane Setup-test.exe", L"--install-silent", 120000);
    ASSERT_TRUE(setup.finished);
    for (const MessageBoxSeen& box : setup.boxes) ADD_FAILURE() << std::filesystem::path(box.text);
    ASSERT_EQ(setup.exitCode, 0u);
    EXPECT_EQ(serviceState(ServiceName), static_cast<DWORD>(SERVICE_RUNNING));
    for (const wchar_t* name : InstalledFiles) EXPECT_TRUE(fileExists(target + L"\\" + name)) << name;
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, UninstallKey, L"QuietUninstallString"),
              quoted(target + L"\\Uninstall.exe") + L" --uninstall --quiet");
    EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 9), 0u);
    EXPECT_TRUE(stagingLeft().empty());

    // What a fleet tool runs: the installed uninstaller, no questions, the result as exit code.
    const ChildResult uninstall = runChild(target + L"\\Uninstall.exe", L"--uninstall --quiet", 120000);
    ASSERT_TRUE(uninstall.finished);
    EXPECT_TRUE(uninstall.boxes.empty());
    EXPECT_EQ(uninstall.exitCode, 0u);
    EXPECT_EQ(serviceState(ServiceName), 0u);
    EXPECT_FALSE(fileExists(target));
    EXPECT_FALSE(fileExists(shortcutPath()));
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, UninstallKey, L"DisplayName"), L"<missing>");
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RunKey, RunValue), L"<missing>");
    removeStaging();
}

TEST_F(InstallPrograms, DecliningTheUninstallIsACancel) {
    std::filesystem::create_directories(target);
    ASSERT_TRUE(CopyFileW((binFolder() + L"\\Uninstall.exe").c_str(), (target + L"\\Uninstall.exe").c_str(), FALSE));
    writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", target);
    const ChildResult uninstall = runChild(target + L"\\Uninstall.exe", L"--uninstall", 60000);  // answers "No"
    ASSERT_TRUE(uninstall.finished);
    EXPECT_EQ(uninstall.boxes.size(), 1u);
    EXPECT_EQ(uninstall.exitCode, static_cast<DWORD>(ERROR_INSTALL_USEREXIT));
    EXPECT_TRUE(fileExists(target + L"\\Uninstall.exe"));
}

TEST_F(InstallPrograms, AQuietUninstallThatIsRefusedKeepsItsUninstaller) {
    // Installed by hand: only the files and the service matter here.
    std::filesystem::create_directories(target);
    ASSERT_TRUE(CopyFileW((binFolder() + L"\\Uninstall.exe").c_str(), (target + L"\\Uninstall.exe").c_str(), FALSE));
    writeString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", target);
    createDormantService(ServiceName);
    const std::wstring device = L"PCI\\VEN_10EC&DEV_8168\\4";
    writeString(HKEY_LOCAL_MACHINE, Journal, device.c_str(), device);
    const ChildResult uninstall = runChild(target + L"\\Uninstall.exe", L"--uninstall --quiet", 60000);
    ASSERT_TRUE(uninstall.finished);
    EXPECT_EQ(uninstall.exitCode, 1u);
    EXPECT_TRUE(uninstall.boxes.empty());
    EXPECT_TRUE(fileExists(target + L"\\Uninstall.exe"));
    EXPECT_NE(serviceState(ServiceName), 0u);
    removeStaging();
}

// The seam-call numbers at which a whole run of the program reaches its install steps.
std::vector<DWORD> stepCalls(const std::wstring& program, const std::wstring& arguments) {
    doubles::storeSetDword(L"CallCount", 0);
    doubles::storeSetString(L"Calls", L"");
    EXPECT_EQ(runChild(program, arguments, 120000).exitCode, 0u) << std::filesystem::path(program);
    std::vector<DWORD> steps;
    std::wistringstream calls(doubles::storeString(L"Calls"));
    std::wstring line;
    for (DWORD number = 1; std::getline(calls, line); ++number) {
        if (line.rfind(L"install.step ", 0) == 0) steps.push_back(number);
    }
    return steps;
}

// Runs the program with the process ended right before seam call `killAt`; 99 when it was.
DWORD runKilledAt(const std::wstring& program, const std::wstring& arguments, DWORD killAt) {
    doubles::storeSetDword(L"CallCount", 0);
    doubles::storeSetDword(L"KillAt", killAt);
    return runChild(program, arguments, 120000).exitCode;
}

// Installed, and everything that starts the product names a file that exists.
void expectInstalled(const std::wstring& target) {
    EXPECT_EQ(serviceState(ServiceName), static_cast<DWORD>(SERVICE_RUNNING));
    for (const wchar_t* name : InstalledFiles) EXPECT_TRUE(fileExists(target + L"\\" + name)) << name;
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RunKey, RunValue), quoted(target + L"\\Calmlane.exe") + L" --tray");
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, UninstallKey, L"UninstallString"),
              quoted(target + L"\\Uninstall.exe") + L" --uninstall");
}

// Removed: no service, no logon start, no Apps-list entry, no shortcut, no folder, no machine values.
void expectRemoved(const std::wstring& target) {
    EXPECT_EQ(serviceState(ServiceName), 0u);
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RunKey, RunValue), L"<missing>");
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, UninstallKey, L"UninstallString"), L"<missing>");
    EXPECT_FALSE(fileExists(shortcutPath()));
    EXPECT_FALSE(fileExists(target));
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath"), L"<missing>");
}

// Killed before any of its steps, the installer or the uninstaller run once more ends installed, or
// removed. The uninstaller is run from outside the installation, as a fleet tool's copy would be.
TEST_F(InstallPrograms, KilledAtAnyStepASecondRunFinishes) {
    protectSystemFolders();
    const std::wstring setup = binFolder() + L"\\Calmlane Setup-test.exe";
    const std::wstring uninstaller = binFolder() + L"\\Uninstall-test.exe";
    const std::vector<DWORD> installSteps = stepCalls(setup, L"--install-silent");
    const std::vector<DWORD> uninstallSteps = stepCalls(uninstaller, L"--uninstall --quiet");
    ASSERT_GE(installSteps.size(), 10u);
    ASSERT_GE(uninstallSteps.size(), 8u);
    for (std::size_t i = 0; i < std::max(installSteps.size(), uninstallSteps.size()); ++i) {
        SCOPED_TRACE("step " + std::to_string(i + 1));
        if (i < installSteps.size()) {
            EXPECT_EQ(runKilledAt(setup, L"--install-silent", installSteps[i]), 99u);
            EXPECT_EQ(runKilledAt(setup, L"--install-silent", 0), 0u)
                << std::filesystem::path(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"LastInstallError"));
        }
        expectInstalled(target);
        if (i < uninstallSteps.size()) {
            EXPECT_EQ(runKilledAt(uninstaller, L"--uninstall --quiet", uninstallSteps[i]), 99u);
        }
        EXPECT_EQ(runKilledAt(uninstaller, L"--uninstall --quiet", 0), 0u);
        expectRemoved(target);
        if (HasFailure()) break;
    }
    removeStaging();
}

TEST_F(InstallPrograms, ModeChangeOnlyInTheNormalNetworkState) {
    const wchar_t* const Restore = L"Restore the network before changing the interruption mode.";
    struct Case {
        const char* what;
        bool service;
        DWORD networkState;  // 99: no value
        DWORD journalType;   // 0: no journal entry
        const wchar_t* option;
        DWORD exitCode;
        const wchar_t* box;
        DWORD firewall;  // afterwards
        DWORD configured;
    } cases[] = {
        {"no service", false, 0, 0, L"--mode-adapters", 1, L"Service is not installed. Run Calmlane Setup.", 1, 0},
        {"never published", true, 99, 0, L"--mode-adapters", 1, Restore, 1, 0},
        {"during a pause", true, 1, 0, L"--mode-adapters", 1, Restore, 1, 0},
        {"adapter still journalled", true, 0, REG_SZ, L"--mode-firewall", 1, Restore, 1, 0},
        {"stray journal value", true, 0, REG_DWORD, L"--mode-adapters", 0, nullptr, 0, 1},
        {"normal state", true, 0, 0, L"--mode-adapters", 0, nullptr, 0, 1},
        {"back to firewall", true, 0, 0, L"--mode-firewall", 0, nullptr, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        cleanMachine();
        if (c.service) createDormantService(ServiceName);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1);
        writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 0);
        if (c.networkState != 99) writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", c.networkState);
        if (c.journalType == REG_SZ) writeString(HKEY_LOCAL_MACHINE, Journal, L"PCI\\X", L"PCI\\X");
        if (c.journalType == REG_DWORD) writeDword(HKEY_LOCAL_MACHINE, Journal, L"stray", 1);
        const ChildResult result = runChild(binFolder() + L"\\Calmlane.exe", c.option, 60000);
        ASSERT_TRUE(result.finished);
        EXPECT_EQ(result.exitCode, c.exitCode);
        if (c.box) {
            ASSERT_EQ(result.boxes.size(), 1u);
            EXPECT_EQ(result.boxes[0].caption, L"Calmlane");
            EXPECT_EQ(result.boxes[0].text, c.box);
        } else {
            EXPECT_TRUE(result.boxes.empty());
        }
        EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 9), c.firewall);
        EXPECT_EQ(readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 9), c.configured);
    }
}

// --- The setup window -------------------------------------------------------------------------------

struct FoundWindow {
    DWORD processId;
    HWND window = nullptr;
};

BOOL CALLBACK findSetupWindow(HWND window, LPARAM context) {
    auto* found = reinterpret_cast<FoundWindow*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t name[64] = {};
    if (owner == found->processId && IsWindowVisible(window) && GetClassNameW(window, name, 64) &&
        std::wstring(name) == L"Calmlane.Native.Setup") {
        found->window = window;
        return FALSE;
    }
    return TRUE;
}

// WM_GETTEXT, which also reads an edit control of another process (GetWindowTextW would not).
std::wstring windowText(HWND window) {
    wchar_t buffer[1024] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 5000, nullptr);
    return buffer;
}

// The window's pixels as a PNG file (Windows Imaging Component).
bool savePng(HWND window, const std::wstring& path) {
    RECT r = {};
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    BITMAPINFO info = topDownBitmapInfo(w, h);  // top-down, as WIC expects rows
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    UniqueDc memory(CreateCompatibleDC(screen));
    UniqueGdiObject bitmap(CreateDIBSection(memory.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
    HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    BitBlt(memory.get(), 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    ReleaseDC(nullptr, screen);
    for (int i = 0; i < w * h; ++i) static_cast<BYTE*>(bits)[i * 4 + 3] = 0xFF;  // opaque
    UniqueCom<IWICImagingFactory> factory;
    UniqueCom<IWICStream> stream;
    UniqueCom<IWICBitmapEncoder> encoder;
    UniqueCom<IWICBitmapFrameEncode> frame;
    WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
    const UINT stride = static_cast<UINT>(w) * 4;
    const bool saved =
        SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                                   reinterpret_cast<void**>(factory.put()))) &&
        SUCCEEDED(factory.get()->CreateStream(stream.put())) &&
        SUCCEEDED(stream.get()->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
        SUCCEEDED(factory.get()->CreateEncoder(GUID_ContainerFormatPng, nullptr, encoder.put())) &&
        SUCCEEDED(encoder.get()->Initialize(stream.get(), WICBitmapEncoderNoCache)) &&
        SUCCEEDED(encoder.get()->CreateNewFrame(frame.put(), nullptr)) && SUCCEEDED(frame.get()->Initialize(nullptr)) &&
        SUCCEEDED(frame.get()->SetSize(static_cast<UINT>(w), static_cast<UINT>(h))) &&
        SUCCEEDED(frame.get()->SetPixelFormat(&format)) &&
        SUCCEEDED(frame.get()->WritePixels(static_cast<UINT>(h), stride, stride * static_cast<UINT>(h),
                                           static_cast<BYTE*>(bits))) &&
        SUCCEEDED(frame.get()->Commit()) && SUCCEEDED(encoder.get()->Commit());
    SelectObject(memory.get(), old);
    return saved;
}

class SetupWindow : public InstallPrograms {
protected:
    void SetUp() override {
        InstallPrograms::SetUp();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override {
        if (process) {
            if (window) PostMessageW(window, WM_CLOSE, 0, 0);
            if (WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
        }
        CoUninitialize();
        InstallPrograms::TearDown();
    }
    void open(DWORD language, const std::wstring& program = binFolder() + L"\\Calmlane Setup.exe") {
        writeDword(HKEY_CURRENT_USER, RegistryPath, L"Language", language);
        test::StartedChild child = test::startChild(program, L"");
        ASSERT_TRUE(child.process);
        process = std::move(child.process);
        FoundWindow found{child.id};
        for (int i = 0; i < 200 && !found.window; ++i) {
            Sleep(50);
            EnumWindows(findSetupWindow, reinterpret_cast<LPARAM>(&found));
        }
        window = found.window;
        ASSERT_NE(window, nullptr);
        Sleep(500);  // let it paint
    }
    void screenshot(const wchar_t* name) {
        const std::wstring path = binFolder() + L"\\..\\" + name;
        EXPECT_TRUE(savePng(window, path));
        std::printf("Setup window screenshot: %ls\n", path.c_str());
    }
    HWND item(int id) const { return GetDlgItem(window, id); }

    UniqueHandle process;
    HWND window = nullptr;
};

TEST_F(SetupWindow, InEnglishARefusedFolderIsShownAndNothingIsWritten) {
    open(1);
    EXPECT_EQ(windowText(window), L"Calmlane Setup");
    EXPECT_EQ(windowText(item(204)), target);  // the folder field
    EXPECT_EQ(windowText(item(207)), L"Block with Windows Firewall");
    EXPECT_EQ(windowText(item(209)), L"Disable network adapters");
    EXPECT_EQ(SendMessageW(item(207), BM_GETCHECK, 0, 0), BST_CHECKED);
    screenshot(L"setup-window-en.png");
    // The shipped setup under Wine, which has no file security: refused, in the result line.
    SendMessageW(item(IDOK), BM_CLICK, 0, 0);
    EXPECT_EQ(windowText(item(211)), Unprotected);
    EXPECT_FALSE(fileExists(target));
    EXPECT_EQ(serviceState(ServiceName), 0u);
    EXPECT_EQ(regString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath"), L"<missing>");
    screenshot(L"setup-window-en-refused.png");
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_EQ(WaitForSingleObject(process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    DWORD code = 9;
    GetExitCodeProcess(process.get(), &code);
    EXPECT_EQ(code, 0u);
}

TEST_F(SetupWindow, InChinese) {
    open(3);
    EXPECT_EQ(windowText(window), L"Calmlane 安装程序");
    EXPECT_EQ(windowText(item(207)), L"使用 Windows 防火墙阻断网络");
    screenshot(L"setup-window-zh.png");
}

// --- Where the programs take their DLLs from ---------------------------------------------------------

// Names outside the KnownDLLs that the programs imported before, or load themselves (comctl32). Wine's
// own DLLs ask for version (user32 imports it), uxtheme (comctl32 delay-loads it) and msimg32 (uxtheme
// delay-loads it), and Wine looks for them in the program's folder first; Windows' user32, comctl32 and
// uxtheme do not, so those are not planted (measured with WINEDEBUG=+loaddll). The static import of
// version.dll is the image table's to check.
const wchar_t* const PlantedNames[] = {L"winhttp", L"wtsapi32", L"iphlpapi", L"fwpuclnt", L"comctl32", L"wintrust"};

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
    const IMAGE_DATA_DIRECTORY& config = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG];
    constexpr DWORD FlagsOffset = 0x4E;  // DependentLoadFlags in IMAGE_LOAD_CONFIG_DIRECTORY64
    if (config.VirtualAddress != 0 && *reinterpret_cast<const DWORD*>(base + config.VirtualAddress) >= FlagsOffset + 2) {
        facts.dependentLoadFlags = *reinterpret_cast<const WORD*>(base + config.VirtualAddress + FlagsOffset);
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
        const ImageImports image = imageImports(binFolder() + L"\\" + p.program);
        EXPECT_FALSE(image.dlls.empty()) << std::filesystem::path(p.program);
        EXPECT_EQ(image.dependentLoadFlags, LOAD_LIBRARY_SEARCH_SYSTEM32) << std::filesystem::path(p.program);
        for (const std::wstring& dll : image.dlls) {
            bool known = false;
            for (const wchar_t* name : KnownDlls) known = known || sameText(dll, name);
            EXPECT_TRUE(known || !p.companion) << std::filesystem::path(p.program) << " imports "
                                                << std::filesystem::path(dll);
        }
    }
}

// Copies of the programs in a user folder, next to a marker DLL under every planted name, with Wine told
// (per program, in its AppDefaults) to prefer a DLL in the program's folder, as Windows does for names
// outside the KnownDLLs.
TEST_F(SetupWindow, NoDllIsLoadedFromTheProgramsFolder) {
    const std::wstring folder = binFolder() + L"\\..\\planted-user-folder";
    const wchar_t* const Programs[] = {L"Calmlane Setup.exe", L"Calmlane Setup-test.exe", L"Uninstall.exe",
                                       L"planted_probe.exe"};
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    std::filesystem::create_directories(folder);
    const auto overrides = [](const wchar_t* program) {
        return std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides";
    };
    for (const wchar_t* program : Programs) {
        ASSERT_TRUE(CopyFileW((binFolder() + L"\\" + program).c_str(), (folder + L"\\" + program).c_str(), FALSE));
        for (const wchar_t* name : PlantedNames) {
            writeString(HKEY_CURRENT_USER, overrides(program).c_str(), name, L"native,builtin");
        }
    }
    writeString(HKEY_CURRENT_USER, overrides(L"planted_probe.exe").c_str(), L"version", L"native,builtin");
    std::vector<std::wstring> planted(std::begin(PlantedNames), std::end(PlantedNames));
    planted.push_back(L"version");  // for the probe
    for (const std::wstring& name : planted) {
        ASSERT_TRUE(CopyFileW((binFolder() + L"\\planted\\version.dll").c_str(),
                              (folder + L"\\" + name + L".dll").c_str(), FALSE));
    }
    const std::wstring marker = folder + L"\\version.dll.loaded";

    // The test can fail: a program that imports version.dll loads the planted one.
    EXPECT_TRUE(runChild(folder + L"\\planted_probe.exe", L"", 30000).finished);
    EXPECT_TRUE(fileExists(marker));
    DeleteFileW(marker.c_str());

    open(1, folder + L"\\Calmlane Setup.exe");
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForSingleObject(process.get(), 10000), static_cast<DWORD>(WAIT_OBJECT_0));
    protectSystemFolders();
    EXPECT_EQ(runChild(folder + L"\\Calmlane Setup-test.exe", L"--install-silent", 120000).exitCode, 0u);
    EXPECT_EQ(runChild(folder + L"\\Uninstall.exe", L"--uninstall --quiet", 120000).exitCode, 0u);
    for (const wchar_t* program : Programs) {
        deleteTree(HKEY_CURRENT_USER, (std::wstring(L"Software\\Wine\\AppDefaults\\") + program).c_str());
    }

    for (const std::filesystem::directory_entry& entry : std::filesystem::directory_iterator(folder)) {
        EXPECT_NE(entry.path().extension(), L".loaded") << entry.path();
    }
    std::filesystem::remove_all(folder, ignored);
    removeStaging();
}

}  // namespace
}  // namespace calmlane
