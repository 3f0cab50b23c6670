// "Calmlane Setup.exe": one file that carries the product and its uninstaller.
#include "install/programs.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "app/entry.h"
#include "app/globals.h"
#include "app/handles.h"
#include "app/settings.h"
#include "install/folder_validation.h"
#include "install/installer.h"
#include "install/protected_folder.h"

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
// nobody to see a box. Nothing is shown; the outcome is the exit code and LastInstallError. A mode given
// is recorded as chosen on a machine that has none chosen yet; without one the mode stays unchosen.
int installSilently(const std::vector<std::wstring>& args) {
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
        return 1;
    }
    return installFromPackage(firewall, reportNothing, modeGiven);
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
    const std::vector<std::wstring> args = commandLineArguments();
    if (args.size() >= 2 && args[1] == L"--install-silent") return installSilently(args);
    return runSetupWindow();
}

}  // namespace calmlane
