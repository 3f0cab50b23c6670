// "Calmlane Setup.exe": one file that carries the product and its uninstaller.
#include "install/programs.h"

#include <commctrl.h>
#include <exdisp.h>
#include <objbase.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "app/command_line.h"
#include "app/console.h"
#include "app/constants.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/localization.h"
#include "app/settings.h"
#include "install/folder_validation.h"
#include "install/install_log.h"
#include "install/installer.h"
#include "install/protected_folder.h"
#include "install/setup_lock.h"

namespace calmlane {

namespace {

class ComApartment {
public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_)) CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    HRESULT result_;
};

void writePayload(int id, const std::wstring& path) {
    constexpr const char* Message = "Cannot unpack the installation files.";
    HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10));  // RT_RCDATA
    HGLOBAL loaded = resource ? LoadResource(nullptr, resource) : nullptr;
    const void* data = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = resource ? SizeofResource(nullptr, resource) : 0;
    if (data == nullptr || size == 0) throw std::runtime_error(Message);
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error(Message);
    DWORD written = 0;
    if (!WriteFile(file.get(), data, size, &written, nullptr) || written != size) throw std::runtime_error(Message);
}

// The common controls of the manifest's version 6, from System32 (by way of the side-by-side store):
// comctl32 is no KnownDLL, so a static import would be looked for in the folder the setup starts in.
// Without them the window still works, in the classic look. The library stays loaded for the process.
void initCommonControls() {
    using Init = BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*);
    const HMODULE comctl = LoadLibraryExW(L"comctl32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (comctl == nullptr) return;
    const auto init = reinterpret_cast<Init>(reinterpret_cast<void*>(GetProcAddress(comctl, "InitCommonControlsEx")));
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    if (init != nullptr) init(&controls);  // a failure leaves the classic controls, nothing to report
}

// The carried files, in a protected folder that goes away with this object.
class Payload {
public:
    Payload() {
        writePayload(PayloadExecutable, executable());
        writePayload(PayloadUninstaller, uninstaller());
    }
    std::wstring executable() const { return folder_.file(L"Calmlane.exe"); }
    std::wstring uninstaller() const { return folder_.file(L"Uninstall.exe"); }

private:
    ProtectedFolder folder_;
};

// "--install-silent" ["<folder>"] ["--mode" firewall|adapters]: what fleet tools run, as SYSTEM and with
// nobody to see a box. Nothing is shown (`report` is reportNothing); the outcome is the exit code and
// LastInstallError. A mode given is recorded as chosen on a machine that has none chosen yet; without one
// the mode stays unchosen.
int installSilently(const std::vector<std::wstring>& args, FailureReport report) {
    std::wstring requested;
    bool firewall = true, modeGiven = false;
    try {
        for (std::size_t i = 2; i < args.size(); ++i) {
            if (args[i] != L"--mode") {
                if (!requested.empty()) throw std::runtime_error("Unexpected argument after the installation folder.");
                requested = args[i];
                continue;
            }
            const std::wstring mode = i + 1 < args.size() ? args[++i] : std::wstring();
            if (mode != L"firewall" && mode != L"adapters") {
                throw std::runtime_error("Unknown network interruption mode: use --mode firewall or --mode adapters.");
            }
            firewall = mode == L"firewall";
            modeGiven = true;
        }
        installDirectoryOverride = validateInstallDirectory(requested.empty() ? installDir() : requested);
    } catch (const std::exception& e) {
        recordInstallFailure(e.what());
        report(e.what());
        return 1;
    }
    return installFromPackage(firewall, report, modeGiven);
}

// The failure of an update that someone started from the main window and waits for, with its reason.
void showUpdateFailure(const char* reason) {
    const std::wstring text = calmlane::text("update.failed") + L"\r\n\r\n" + widened(reason);
    MessageBoxW(nullptr, text.c_str(), Product, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

template <typename Interface>
bool query(IUnknown* object, REFIID id, UniqueCom<Interface>& into) {
    return SUCCEEDED(object->QueryInterface(id, reinterpret_cast<void**>(into.put())));
}

// Starts `program` as the user whose desktop this is, without this process's administrator rights: the
// desktop's shell starts it (IShellDispatch2::ShellExecute on the desktop's folder view, reached through
// the shell windows), as a program started from the Start menu. False when there is no such shell.
bool startAsDesktopUser(const std::wstring& program) {
    UniqueCom<IShellWindows> windows;
    UniqueCom<IDispatch> desktop, background, application;
    UniqueCom<IServiceProvider> services;
    UniqueCom<IShellBrowser> browser;
    UniqueCom<IShellView> view;
    UniqueCom<IShellFolderViewDual> folderView;
    UniqueCom<IShellDispatch2> shell;
    VARIANT location{}, root{}, noValue{}, show{};
    location.vt = VT_I4;
    location.lVal = CSIDL_DESKTOP;
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    long window = 0;
    const UniqueBstr file(SysAllocString(program.c_str()));
    return file &&
           SUCCEEDED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                      reinterpret_cast<void**>(windows.put()))) &&
           windows.get()->FindWindowSW(&location, &root, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, desktop.put()) ==
               S_OK &&
           desktop && query(desktop.get(), IID_IServiceProvider, services) &&
           SUCCEEDED(services.get()->QueryService(SID_STopLevelBrowser, IID_IShellBrowser,
                                                  reinterpret_cast<void**>(browser.put()))) &&
           SUCCEEDED(browser.get()->QueryActiveShellView(view.put())) &&
           SUCCEEDED(view.get()->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch,
                                               reinterpret_cast<void**>(background.put()))) &&
           query(background.get(), IID_IShellFolderViewDual, folderView) &&
           SUCCEEDED(folderView.get()->get_Application(application.put())) &&
           query(application.get(), IID_IShellDispatch2, shell) &&
           SUCCEEDED(shell.get()->ShellExecute(file.get(), noValue, noValue, noValue, show));
}

// InstallUpdateSwitch "<folder>": an update that the main window verified and started for someone who
// waits for it. It installs as the silent install does, and then shows how it went: the failure and its
// reason in a box, or the new version's main window (its tray follows from there), started as that user;
// without a shell to start it, a box says that the update is installed.
int installUpdate(const std::vector<std::wstring>& args) {
    const int result = installSilently(args, showUpdateFailure);
    const bool installed = result == 0 || result == ERROR_SUCCESS_REBOOT_REQUIRED;
    if (!installed || startAsDesktopUser(installDir() + L"\\Calmlane.exe")) return result;
    const std::wstring done = filled(text("update.installed"), Version);
    MessageBoxW(nullptr, done.c_str(), Product, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
    return result;
}

}  // namespace

int installFromPackage(bool firewall, FailureReport report, bool modeChosen) {
    // Needed by the shortcut step; if it cannot be had, that step reports it.
    ComApartment com;
    std::optional<Payload> payload;
    try {
        payload.emplace();
    } catch (const std::exception& e) {
        recordInstallFailure(e.what());
        report(e.what());
        return 1;
    }
    return installNative(firewall, payload->executable(), payload->uninstaller(), report, modeChosen);
}

int runSetupProgram(HINSTANCE module) {
    instance = module;
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    initCommonControls();
    ComApartment com;  // the window's folder picker
    settings.load();
    std::vector<std::wstring> args = commandLineArguments();
    if (!install_log::openFromArguments(args)) return ERROR_INSTALL_LOG_FAILURE;
    const std::wstring form = args.size() >= 2 ? args[1] : std::wstring();
    const SetupLock lock;
    int result = 0;
    if (lock.busy()) {
        result = refuseBusyRun(form == L"--install-silent");
    } else if (form == L"--install-silent") {
        result = installSilently(args, reportNothing);
    } else if (form == InstallUpdateSwitch) {
        result = installUpdate(args);
    } else {
        result = runSetupWindow();
    }
    install_log::end(result);
    return result;
}

}  // namespace calmlane
