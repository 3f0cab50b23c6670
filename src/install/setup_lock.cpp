#include "install/setup_lock.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "app/constants.h"
#include "app/localization.h"
#include "install/install_log.h"

namespace calmlane {

namespace {

// Only SYSTEM or Administrators can own the mutex the runs make: one owned by anyone else was made
// before them by a standard user, to keep every setup and uninstall out for ever.
bool ownedByAdministrators(HANDLE mutex) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(mutex, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const UniqueLocal owned(descriptor);
    return IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid);
}

}  // namespace

SetupLock::SetupLock() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(SetupMutexSecurity, SDDL_REVISION_1, &descriptor,
                                                              nullptr)) {
        unguarded_ = true;
        return;
    }
    const UniqueLocal owned(descriptor);
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    mutex_.reset(CreateMutexW(&security, FALSE, SetupMutexName));
    // No mutex of ours (the name taken by an object that administrators may not open, say): the run
    // cannot be kept apart from another, and goes on rather than be kept out.
    if (!mutex_) {
        unguarded_ = true;
        return;
    }
    const DWORD waited = WaitForSingleObject(mutex_.get(), 0);
    // Abandoned: a run that was killed; its machine state is what a second run repairs.
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    unguarded_ = !held_ && (waited != WAIT_TIMEOUT || !ownedByAdministrators(mutex_.get()));
}

SetupLock::~SetupLock() {
    if (held_) ReleaseMutex(mutex_.get());  // closing the handle alone would leave it owned until the thread ends
}

int refuseBusyRun(bool quiet) {
    install_log::fail("Another Calmlane setup or uninstall is running.");
    if (!quiet) {
        const std::wstring busy =
            tr(L"Une autre installation ou désinstallation de Calmlane est en cours. Réessayez lorsqu’elle sera "
               L"terminée.",
               L"Another Calmlane setup or uninstall is running. Try again when it has finished.",
               L"Eine andere Installation oder Deinstallation von Calmlane läuft bereits. Versuchen Sie es erneut, "
               L"wenn sie abgeschlossen ist.",
               L"另一个 Calmlane 安装或卸载程序正在运行。请在其完成后重试。",
               L"Ya se está ejecutando otra instalación o desinstalación de Calmlane. Vuelva a intentarlo cuando haya "
               L"terminado.",
               L"È già in corso un’altra installazione o disinstallazione di Calmlane. Riprova quando sarà terminata.");
        MessageBoxW(nullptr, busy.c_str(), Product, MB_OK | MB_ICONWARNING);
    }
    return ERROR_INSTALL_ALREADY_RUNNING;
}

}  // namespace calmlane
