#pragma once
// Downloading, verifying and starting a newer installer.
#include <windows.h>

#include <string>

namespace calmlane {

struct UpdateDownloadResult {
    bool ok = false;       // downloaded and passed every check
    std::wstring path;     // the staged installer, only when ok
    std::wstring version;  // the version that was requested
    unsigned long long hold = 0;  // which hold on `path` is this result's (0: none)

    UpdateDownloadResult() = default;
    UpdateDownloadResult(const UpdateDownloadResult&) = delete;
    UpdateDownloadResult& operator=(const UpdateDownloadResult&) = delete;
    // A result freed before its installer was started (say, still queued for a window that went)
    // releases the file it holds.
    ~UpdateDownloadResult();
};

// Copies `version` and downloads that installer on a detached thread into the staging folder, then
// verifies it. The result is posted as PostMessageW(window, message, 0, UpdateDownloadResult*); the
// receiver deletes it. A verified installer stays open to readers only until launchDownloadedUpdate.
void beginUpdateDownload(HWND window, UINT message, const std::wstring& version);

// Starts the installer that a download of this process verified at `installerPath`, elevated, with
// --install-silent "<installDir>". The file stays locked against writers until ShellExecuteExW has
// returned and is released on every path. False when Windows did not start it or when the file is
// not one this process verified and still holds.
bool launchDownloadedUpdate(HWND owner, const std::wstring& installerPath);

}  // namespace calmlane
