#include "update/download.h"

#include <shellapi.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

#include "app/constants.h"
#include "app/handles.h"
#include "app/held_folder.h"
#include "app/settings.h"
#include "update/authenticode.h"
#include "update/formats.h"
#include "update/https.h"
#include "update/staging.h"
#include "update/version.h"
#include "update/web_services.h"
#include "update/worker.h"

namespace calmlane {

namespace {

static_assert(sizeof(SHELLEXECUTEINFOW) == 112, "the x64 layout of SHELLEXECUTEINFOW");

// A verified installer, held from the start of its verification until it is started: the file open for
// reading with only other readers allowed, and the staging folders above it without delete sharing. The
// file that was checked is then the file that runs, and nothing on its way can be renamed or re-pointed.
struct HeldInstaller {
    StagingFolders folders;
    UniqueHandle file;
};

// The held installers, each under a number, so that a result can release its own hold and never a later
// download's of the same file.
class HeldInstallers {
public:
    unsigned long long hold(const std::wstring& path, HeldInstaller installer) {
        std::lock_guard lock(mutex_);
        installers_[path] = {++lastHold_, std::move(installer)};
        return lastHold_;
    }
    // The hold on `path`; with `hold` non-zero, only when it is that one.
    std::optional<HeldInstaller> take(const std::wstring& path, unsigned long long hold = 0) {
        std::lock_guard lock(mutex_);
        const auto found = installers_.find(path);
        if (found == installers_.end() || (hold != 0 && found->second.number != hold)) return std::nullopt;
        std::optional<HeldInstaller> installer(std::move(found->second.installer));
        installers_.erase(found);
        return installer;
    }

private:
    struct Held {
        unsigned long long number = 0;
        HeldInstaller installer;
    };
    std::mutex mutex_;
    std::map<std::wstring, Held> installers_;
    unsigned long long lastHold_ = 0;
};

// Never destroyed: a detached worker may still use it while the process exits and runs destructors.
HeldInstallers& heldInstallers() {
    static HeldInstallers* const held = new HeldInstallers;
    return *held;
}

// Deletes the staged file `name` itself, never a link of that name.
void discard(HANDLE updates, const std::wstring& name) {
    if (const UniqueHandle file = openBelow(updates, name, Entry::File, DELETE, ShareAll)) deleteThrough(file.get());
}

// A body that ends before the length the server announced was cut off, however the transport
// reports the end: such an installer is incomplete even if its headers look right.
bool copyBody(HttpsExchange& exchange, HANDLE file) {
    const std::optional<unsigned long long> announced = exchange.contentLength();
    std::vector<unsigned char> chunk(DownloadChunk);
    unsigned long long total = 0;
    for (;;) {
        unsigned long count = 0;
        if (!exchange.read(chunk.data(), DownloadChunk, count)) return false;
        if (count == 0) return total >= DownloadMinimum && (!announced || total == *announced);
        total += count;
        if (total > DownloadMaximum) return false;
        DWORD written = 0;
        if (!WriteFile(file, chunk.data(), count, &written, nullptr) || written != count) return false;
    }
}

// Downloads the installer into a new file `name` in the held Updates folder. The file is written with no
// sharing: a second download of the same version cannot replace it and fails without touching it. Any
// failure after the file was created deletes it.
bool download(const std::wstring& version, HANDLE updates, const std::wstring& name) {
    HttpsExchange exchange;
    if (!exchange.perform(DownloadHost, L"GET", DownloadPathPrefix + version, {4000, 4000, 10000, 10000, DownloadDeadline})) {
        return false;
    }
    if (exchange.status() != 200) return false;
    const UniqueHandle file = openBelow(updates, name, Entry::File, GENERIC_WRITE | DELETE, 0, Disposition::Create);
    if (!file) return false;
    if (!copyBody(exchange, file.get()) || !FlushFileBuffers(file.get())) {
        deleteThrough(file.get());
        return false;
    }
    return true;
}

// Reads through the handle, never by the file's name.
ReadAt readerOf(HANDLE file) {
    return [file](std::uint64_t offset, unsigned char* into, std::size_t count) {
        LARGE_INTEGER position{};
        position.QuadPart = static_cast<LONGLONG>(offset);
        DWORD got = 0;
        return SetFilePointerEx(file, position, nullptr, FILE_BEGIN) &&
               ReadFile(file, into, static_cast<DWORD>(count), &got, nullptr) && got == count;
    };
}

// Product version major.minor.patch (the build word is not compared) and product name "Calmlane", from
// the version resource read through the handle. VerQueryValueW reads the block as GetFileVersionInfoW
// would have copied it: the resource, then as much room again for its own use.
bool hasProductVersion(HANDLE file, const std::vector<std::uint32_t>& parts) {
    std::vector<unsigned char> block = versionResource(readerOf(file));
    if (block.empty()) return false;
    block.resize(block.size() * 2);

    void* fixedData = nullptr;
    UINT fixedSize = 0;
    if (!VerQueryValueW(block.data(), L"\\", &fixedData, &fixedSize) || !fixedData ||
        fixedSize < sizeof(VS_FIXEDFILEINFO)) {
        return false;
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(fixedData);
    if (fixed->dwSignature != 0xFEEF04BD) return false;
    const std::uint32_t third = parts.size() > 2 ? parts[2] : 0;
    if (HIWORD(fixed->dwProductVersionMS) != parts[0] || LOWORD(fixed->dwProductVersionMS) != parts[1] ||
        HIWORD(fixed->dwProductVersionLS) != third) {
        return false;
    }

    void* translation = nullptr;
    UINT translationSize = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &translation, &translationSize) ||
        !translation || translationSize < 4) {
        return false;
    }
    const auto* pair = static_cast<const WORD*>(translation);
    wchar_t query[64];
    swprintf(query, 64, L"\\StringFileInfo\\%04x%04x\\ProductName", pair[0], pair[1]);
    void* name = nullptr;
    UINT nameLength = 0;
    if (!VerQueryValueW(block.data(), query, &name, &nameLength) || !name || nameLength == 0) return false;
    const std::wstring productName(static_cast<const wchar_t*>(name),
                                   wcsnlen(static_cast<const wchar_t*>(name), nameLength));
    return !productName.empty() && _wcsicmp(productName.c_str(), Product) == 0;
}

// A signed program starts only installers that WinVerifyTrust accepts (revocation checked online,
// see Revocation::WholeChain) and whose signer has the same subject, under the same root, as its own; a
// program without a certificate table (a development build) keeps the checks above alone. A program
// whose own signature does not verify accepts nothing. Its own signature is checked without revocation:
// a program whose own certificate was revoked must still be able to take the update that replaces it.
bool fromSamePublisher(HANDLE installer) {
    if (!runningImageSigned()) return true;
    const std::wstring self = modulePath();
    const UniqueHandle image(CreateFileW(self.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (self.empty() || !image) return false;
    const Signature running = verifySignature(image.get(), self, Revocation::Ignore);
    if (running.state != SignatureState::Valid) return false;
    const Signature offered = verifySignature(installer, finalPath(installer), Revocation::WholeChain);
    // The same subject under the same root: any other root the machine trusts (a company's TLS-inspection
    // CA, say) could issue a certificate with the publisher's name.
    return offered.state == SignatureState::Valid && offered.subject == running.subject && offered.root == running.root;
}

}  // namespace

bool verifiedInstaller(HANDLE file, const std::wstring& version) {
    const std::vector<std::uint32_t> parts = versionParts(version);
    if (parts.size() != 2 && parts.size() != 3) return false;
    return isX64Image(readerOf(file)) && hasProductVersion(file, parts) && fromSamePublisher(file);
}

namespace {

// Downloads and verifies the installer of `version` in the held staging folders; on success sets the
// result's path and hold. Nothing is written when either folder is a link.
void stage(const std::wstring& version, UpdateDownloadResult& result) {
    const std::vector<std::uint32_t> parts = versionParts(version);
    if (parts.size() != 2 && parts.size() != 3) return;
    if (!isNewerVersion(Version, version)) return;  // never an older or the same version
    HeldInstaller held;
    std::wstring path;
    try {
        held.folders = openStagingFolders(true, FILE_LIST_DIRECTORY | FILE_ADD_FILE);
        path = updateFolder();
    } catch (const std::runtime_error&) {
        return;  // no profile folder
    }
    const HANDLE updates = held.folders.updates.get();
    if (updates == nullptr) return;
    const std::wstring name = stagedInstallerName(version);
    path += L"\\" + name;
    heldInstallers().take(path);  // an earlier, unstarted download of this version gives way
    discard(updates, name);
    if (!download(version, updates, name)) return;
    held.file = openBelow(updates, name, Entry::File, GENERIC_READ, FILE_SHARE_READ);
    if (!held.file || !verifiedInstaller(held.file.get(), version)) {
        held.file.reset();
        discard(updates, name);
        return;
    }
    result.hold = heldInstallers().hold(path, std::move(held));
    result.path = path;
    result.ok = true;
}

void downloadWorker(HWND window, UINT message, const std::wstring& version) noexcept {
    try {
        auto result = std::make_unique<UpdateDownloadResult>();
        result->version = version;
        stage(version, *result);
        postOwned(window, message, std::move(result));  // a result not posted releases its hold as it goes
    } catch (...) {
        // Out of memory: nothing can be reported.
    }
}

// CommandLineToArgvW reads backslashes before a closing quote as escapes: double them.
std::wstring quotedArgument(std::wstring text) {
    std::size_t trailing = 0;
    while (trailing < text.size() && text[text.size() - 1 - trailing] == L'\\') ++trailing;
    text.append(trailing, L'\\');
    return L"\"" + text + L"\"";
}

}  // namespace

UpdateDownloadResult::~UpdateDownloadResult() {
    if (hold != 0) heldInstallers().take(path, hold);
}

void beginUpdateDownload(HWND window, UINT message, const std::wstring& version) {
    startDetached([window, message, version] { downloadWorker(window, message, version); });
}

bool launchDownloadedUpdate(HWND owner, const std::wstring& installerPath) {
    const std::optional<HeldInstaller> held = heldInstallers().take(installerPath);
    if (!held) return false;
    // The held file by the name Windows gives it now, and only while that name still leads to it: a folder
    // above the staging folders may have been renamed or re-pointed since the verification.
    const std::wstring path = finalPath(held->file.get());
    const UniqueHandle named(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, ShareAll, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (path.empty() || !named || !sameFile(named.get(), held->file.get())) return false;
    const std::wstring parameters = std::wstring(InstallUpdateSwitch) + L" " + quotedArgument(installDir());
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof(execute);
    execute.hwnd = owner;
    execute.lpVerb = L"runas";
    execute.lpFile = path.c_str();
    execute.lpParameters = parameters.c_str();
    execute.nShow = SW_HIDE;
    return ShellExecuteExW(&execute) != FALSE;
}

}  // namespace calmlane
