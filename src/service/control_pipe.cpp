#include "service/control_pipe.h"

#include <sddl.h>

#include <cstring>
#include <vector>

#include "app/constants.h"
#include "app/settings.h"
#include "service/log.h"
#include "service/seams.h"

namespace calmlane {

ConnectPoll classifyConnect(bool succeeded, unsigned long error) {
    if (succeeded || error == ERROR_PIPE_LISTENING) return ConnectPoll::Nobody;
    if (error == ERROR_PIPE_CONNECTED) return ConnectPoll::Client;
    // ERROR_NO_DATA and anything unexpected: disconnect so the instance listens again.
    return ConnectPoll::Stale;
}

std::string messageText(const char* bytes, unsigned long count) {
    const void* zero = std::memchr(bytes, 0, count);
    return std::string(bytes, zero ? static_cast<const char*>(zero) - bytes : count);
}

namespace {

// A file's identity: volume serial number and file id. Both files of a comparison are identified the
// same way.
struct FileIdentity {
    unsigned long long volume = 0;
    FILE_ID_128 id{};
};

UniqueHandle openForIdentity(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool idInfo(HANDLE file, FileIdentity& identity) {
    FILE_ID_INFO info = {};
    if (!GetFileInformationByHandleEx(file, FileIdInfo, &info, sizeof(info))) return false;
    identity.volume = info.VolumeSerialNumber;
    identity.id = info.FileId;
    return true;
}

// The 64-bit index and the number of names, from the one call every file system answers.
bool indexInfo(HANDLE file, FileIdentity& identity, DWORD& links) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) return false;
    identity.volume = info.dwVolumeSerialNumber;
    const unsigned long long index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    std::memcpy(identity.id.Identifier, &index, sizeof(index));
    links = info.nNumberOfLinks;
    return true;
}

}  // namespace

bool isInstalledSaver(const std::wstring& image, const std::wstring& installed) {
    if (!onFixedDisk(image)) return false;
    const UniqueHandle client = openForIdentity(image);
    if (!client) return false;
    const UniqueHandle saver = openForIdentity(installed);
    if (!saver) return false;
    FileIdentity clientId, saverId;
    DWORD clientLinks = 0, saverLinks = 0;
    if (!indexInfo(client.get(), clientId, clientLinks) || !indexInfo(saver.get(), saverId, saverLinks) ||
        clientLinks != 1) {
        return false;
    }
    // The 128-bit ids where the file system has them (a 64-bit index is not unique on ReFS).
    FileIdentity clientFullId, saverFullId;
    if (idInfo(client.get(), clientFullId) && idInfo(saver.get(), saverFullId)) {
        clientId = clientFullId;
        saverId = saverFullId;
    }
    return clientId.volume == saverId.volume &&
           std::memcmp(clientId.id.Identifier, saverId.id.Identifier, sizeof(clientId.id.Identifier)) == 0;
}

unsigned long ControlPipe::create() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(PipeSddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return GetLastError();
    }
    UniqueLocal descriptorMemory(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    pipe_.reset(CreateNamedPipeW(PipeName, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_NOWAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                 1, 128, 128, 0, &attributes));
    return pipe_ ? ERROR_SUCCESS : GetLastError();
}

ConnectPoll ControlPipe::poll() {
    const bool succeeded = ConnectNamedPipe(pipe_.get(), nullptr) != FALSE;
    const ConnectPoll result = classifyConnect(succeeded, succeeded ? ERROR_SUCCESS : GetLastError());
    if (result == ConnectPoll::Stale) disconnect();
    return result;
}

UniqueHandle ControlPipe::admit() {
    try {
        ULONG processId = 0;
        if (!GetNamedPipeClientProcessId(pipe_.get(), &processId)) return {};
        DWORD sessionId = 0;
        if (!ProcessIdToSessionId(processId, &sessionId) || sessionId == 0) return {};
        DWORD connectState = 0;
        if (!terminal::sessionConnectState(sessionId, connectState) || connectState != 0 /* WTSActive */) {
            logEvent(L"Rejected inactive client session: " + std::to_wstring(sessionId));
            return {};
        }
        UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
        if (!process) return {};
        std::vector<wchar_t> image(32768);
        DWORD length = static_cast<DWORD>(image.size());
        const std::wstring expected = installDir() + L"\\Calmlane.scr";
        if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &length) ||
            !isInstalledSaver(std::wstring(image.data(), length), expected)) {
            logEvent(L"Rejected client executable path.");
            return {};
        }
        logEvent(L"Accepted saver process: " + std::to_wstring(processId));
        return process;
    } catch (...) {
        return {};  // e.g. no install folder known: a silent refusal
    }
}

PipeRead ControlPipe::read() {
    char buffer[32] = {};
    DWORD count = 0;
    PipeRead result;
    if (!ReadFile(pipe_.get(), buffer, 31, &count, nullptr)) {
        result.kind = PipeRead::Kind::Error;
        result.error = GetLastError();
    } else if (count > 0) {
        result.kind = PipeRead::Kind::Message;
        result.text = messageText(buffer, count);
    }
    return result;
}

void ControlPipe::write(const char* text) {
    DWORD written = 0;
    // A failed reply is ignored: the client treats a broken pipe like "ERROR".
    WriteFile(pipe_.get(), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

void ControlPipe::disconnect() { DisconnectNamedPipe(pipe_.get()); }

}  // namespace calmlane
