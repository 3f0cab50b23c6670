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
// verifies it. The result is posted with postOwned (update/worker.h): the receiver takes it with
// takePosted. The staging folders are opened without following links and refused when either is one;
// a verified installer stays open to readers only, and its folders held, until launchDownloadedUpdate.
void beginUpdateDownload(HWND window, UINT message, const std::wstring& version);

// Starts the installer that a download of this process verified at `installerPath`, elevated, with
// --install-update "<installDir>": the file held since its verification, by the name that Windows gives
// it now, checked to lead to that very file right before the start. The file and its staging folders stay
// held until ShellExecuteExW has returned and are released on every path. False when Windows did not
// start it, or when the file is not one this process verified and still holds.
bool launchDownloadedUpdate(HWND owner, const std::wstring& installerPath);

// The installer open as `file`, read through that handle only: an x86-64 image whose version resource
// names the product with `version` (two or three components) and, when this program is signed, signed by
// its own publisher.
bool verifiedInstaller(HANDLE file, const std::wstring& version);

}  // namespace calmlane
