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

// "--install-silent" "<folder>": no window; every failure, a refused folder included, is one error box.
int installSilently(const std::wstring& requested) {
    try {
        installDirectoryOverride = validateInstallDirectory(requested);
    } catch (const std::exception& e) {
        showInstallError(e.what());
        return 1;
    }
    return installFromPackage(true);
}

}  // namespace

int installFromPackage(bool firewall) {
    // Needed by the shortcut step; if it cannot be had, that step reports it.
    ComApartment com;
    std::optional<Payload> payload;
    try {
        payload.emplace();
    } catch (const std::exception& e) {
        showInstallError(e.what());
        return 1;
    }
    return installNative(firewall, payload->executable(), payload->uninstaller());
}

int runSetupProgram(HINSTANCE module) {
    instance = module;
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    ComApartment com;  // the window's folder picker
    settings.load();
    const std::vector<std::wstring> args = commandLineArguments();
    if (args.size() >= 3 && args[1] == L"--install-silent") return installSilently(args[2]);
    return runSetupWindow();
}

}  // namespace calmlane
