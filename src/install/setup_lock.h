#pragma once
// One setup or uninstall at a time on the machine: the named mutex SetupMutexName, held by the setup
// program (every form) and the uninstaller for their whole run. A second run ends with Windows
// Installer's 1618, which deployment tools know to retry later.
#include "app/handles.h"

namespace calmlane {

inline constexpr const wchar_t* SetupMutexName = L"Global\\Calmlane.Setup";
// Owner Administrators; SYSTEM and administrators only may open it, so no standard user can hold it.
inline constexpr const wchar_t* SetupMutexSecurity = L"O:BAD:P(A;;GA;;;SY)(A;;GA;;;BA)";

class SetupLock {
public:
    SetupLock();
    ~SetupLock();
    SetupLock(const SetupLock&) = delete;
    SetupLock& operator=(const SetupLock&) = delete;

    // Another setup or uninstall holds the lock.
    bool busy() const { return !held_ && !unguarded_; }

private:
    UniqueHandle mutex_;
    bool held_ = false;
    bool unguarded_ = false;  // the name is someone else's: the run goes on without the lock
};

// The refusal of a run that found the lock busy: logged, and said in a box unless `quiet`; 1618.
int refuseBusyRun(bool quiet);

}  // namespace calmlane
