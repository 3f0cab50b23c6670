#include "install/protected_folder.h"

#include <windows.h>
#include <objbase.h>
#include <sddl.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "install/installer.h"

namespace calmlane {

namespace {

constexpr const wchar_t* StagingSecurity = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

[[noreturn]] void fail() { throw std::runtime_error("Cannot create a protected temporary folder."); }

std::wstring uniqueName() {
    GUID guid = {};
    wchar_t text[64] = {};
    if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 64) == 0) fail();
    return std::wstring(L"Calmlane-") + text;
}

}  // namespace

std::wstring windowsTempFolder() {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    const UINT length = GetSystemWindowsDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
    if (length == 0 || length >= buffer.size()) fail();
    return std::wstring(buffer.data(), length) + L"\\Temp";
}

ProtectedFolder::ProtectedFolder() : ProtectedFolder(windowsTempFolder()) {}

ProtectedFolder::ProtectedFolder(const std::wstring& base) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(StagingSecurity, SDDL_REVISION_1, &descriptor, nullptr)) {
        fail();
    }
    UniqueLocal owned(descriptor);
    SECURITY_ATTRIBUTES security = {sizeof(security), descriptor, FALSE};
    const std::wstring path = base + L"\\" + uniqueName();
    // CreateDirectoryW fails on an existing name, so nobody can have prepared this folder.
    if (!CreateDirectoryW(path.c_str(), &security)) fail();
    path_ = path;
    hold_.reset(CreateFileW(path_.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!hold_) {
        RemoveDirectoryW(path_.c_str());
        fail();
    }
}

ProtectedFolder::~ProtectedFolder() {
    std::error_code error;
    std::vector<std::wstring> files;
    for (std::filesystem::directory_iterator it(path_, error), end; !error && it != end; it.increment(error)) {
        files.push_back(it->path().wstring());
    }
    for (const std::wstring& file : files) deleteOrScheduleAtRestart(file, false);
    hold_.reset();
    deleteOrScheduleAtRestart(path_, true);
}

}  // namespace calmlane
