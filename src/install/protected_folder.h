#pragma once
// A fresh folder that only SYSTEM and Administrators can write, for the files an elevated setup or
// uninstaller runs from. Never the user's own temp folder: a user could swap a file there before an
// administrator's process starts it.
#include <string>

#include "app/handles.h"

namespace calmlane {

class ProtectedFolder {
public:
    // Creates "<base>\Calmlane-<GUID>" with its security set at creation; base is the Windows temp folder
    // unless given. Throws "Cannot create a protected temporary folder.".
    ProtectedFolder();
    explicit ProtectedFolder(const std::wstring& base);
    // Deletes what it holds and itself; what is in use (a running program) goes at the next restart.
    ~ProtectedFolder();
    ProtectedFolder(const ProtectedFolder&) = delete;
    ProtectedFolder& operator=(const ProtectedFolder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const wchar_t* name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
    UniqueHandle hold_;  // open without delete sharing, so the folder cannot be renamed or replaced meanwhile
};

// The system's own temp folder ("C:\Windows\Temp"), which users cannot rename things in.
std::wstring windowsTempFolder();

}  // namespace calmlane
