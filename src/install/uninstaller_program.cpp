// Uninstall.exe. uninstallNative deletes the installed Uninstall.exe, so it must not run from that file:
// the program first moves its own image (Windows allows renaming a running program, not deleting it)
// into a protected folder, and only then removes the installation. Staying one process keeps the
// result as the exit code that fleet tools wait for. The moved copy goes with its folder, at the
// next restart since it is still running.
#include "install/programs.h"

#include <shellapi.h>

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
#include "install/install_log.h"
#include "install/installer.h"
#include "install/protected_folder.h"
#include "install/setup_lock.h"

namespace calmlane {

namespace {

std::wstring fullPath(const std::wstring& path) {
    std::vector<wchar_t> buffer(32768);
    const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    return length == 0 || length >= buffer.size() ? path : std::wstring(buffer.data(), length);
}

bool confirmed() {
    const std::wstring question =
        tr(L"Supprimer Calmlane de cet ordinateur\u00A0? Le service, les fichiers du programme, le raccourci du menu "
           L"Démarrer et les réglages de la machine sont supprimés. Vos propres réglages d’économiseur d’écran restent.",
           L"Remove Calmlane from this computer? The service, the program files, the Start menu shortcut and the "
           L"machine settings are removed. Your own screen saver settings stay.",
           L"Calmlane von diesem Computer entfernen? Der Dienst, die Programmdateien, die Verknüpfung im Startmenü und "
           L"die Computereinstellungen werden entfernt. Ihre eigenen Bildschirmschoner-Einstellungen bleiben erhalten.",
           L"要从此电脑中移除 Calmlane 吗？服务、程序文件、“开始”菜单快捷方式和计算机设置将被删除。"
           L"您自己的屏幕保护程序设置将保留。",
           L"¿Quitar Calmlane de este equipo? Se quitan el servicio, los archivos del programa, el acceso directo del "
           L"menú Inicio y la configuración del equipo. Su propia configuración del protector de pantalla se mantiene.",
           L"Rimuovere Calmlane da questo computer? Il servizio, i file del programma, il collegamento nel menu Start e "
           L"le impostazioni del computer vengono rimossi. Le tue impostazioni dello screen saver restano.");
    return MessageBoxW(nullptr, question.c_str(), Product, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

void showRemoved() {
    const std::wstring done =
        tr(L"Calmlane a été supprimé de cet ordinateur.", L"Calmlane has been removed from this computer.",
           L"Calmlane wurde von diesem Computer entfernt.", L"Calmlane 已从此电脑中移除。",
           L"Calmlane se ha quitado de este equipo.", L"Calmlane è stato rimosso da questo computer.");
    MessageBoxW(nullptr, done.c_str(), Product, MB_OK | MB_ICONINFORMATION);
}

// Moves the running image out of the installation folder: into the Windows temp folder, or, on another
// volume than Windows (a rename cannot cross volumes), beside the installation folder.
void stepOutOfInstallation(const std::wstring& self, std::optional<ProtectedFolder>& staging) {
    staging.emplace();
    if (MoveFileExW(self.c_str(), staging->file(L"Uninstall.exe").c_str(), 0)) return;
    if (GetLastError() == ERROR_NOT_SAME_DEVICE) {
        const std::wstring installation = installDir();
        staging.emplace(installation.substr(0, installation.find_last_of(L'\\')));
        if (MoveFileExW(self.c_str(), staging->file(L"Uninstall.exe").c_str(), 0)) return;
    }
    throw std::runtime_error("Cannot move the uninstaller out of the installation folder.");
}

int uninstall(bool quiet) {
    const FailureReport report = quiet ? reportNothing : showInstallError;
    const std::wstring self = fullPath(modulePath());
    const std::wstring installed = fullPath(installDir() + L"\\Uninstall.exe");
    if (!sameText(self, installed)) return uninstallNative(report);
    std::optional<ProtectedFolder> staging;
    try {
        stepOutOfInstallation(self, staging);
    } catch (const std::exception& e) {
        recordInstallFailure(e.what());
        report(e.what());
        return 1;
    }
    const int result = uninstallNative(report);
    std::wstring recorded;
    if (result == 1 && readString(HKEY_LOCAL_MACHINE, RegistryPath, L"InstallPath", recorded)) {
        // An installation still recorded keeps its uninstaller for the next attempt. One that is gone but
        // for a folder left as it was (a link, or others can change it) is given nothing.
        const DWORD folder = GetFileAttributesW(installDir().c_str());
        if (folder != INVALID_FILE_ATTRIBUTES && (folder & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            MoveFileExW(staging->file(L"Uninstall.exe").c_str(), installed.c_str(), 0);
        }
    }
    return result;
}

}  // namespace

int runUninstallerProgram(HINSTANCE module) {
    instance = module;
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    settings.load();
    std::vector<std::wstring> args = commandLineArguments();
    if (!install_log::openFromArguments(args)) return ERROR_INSTALL_LOG_FAILURE;
    // Nobody could answer the question (a fleet tool's SYSTEM account in session 0): quiet as with --quiet.
    bool quiet = !interactiveDesktop();
    for (std::size_t i = 2; i < args.size(); ++i) quiet = quiet || args[i] == L"--quiet";
    const SetupLock lock;
    int result = 0;
    if (lock.busy()) {
        result = refuseBusyRun(quiet);
    } else if (!quiet && !confirmed()) {
        result = ERROR_INSTALL_USEREXIT;  // 1602: cancelled by the user
    } else {
        result = uninstall(quiet);
        if (result != 1 && !quiet) showRemoved();
    }
    install_log::end(result);
    return result;
}

}  // namespace calmlane
