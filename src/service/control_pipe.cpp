#include "service/control_pipe.h"

#include <bcrypt.h>
#include <sddl.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "app/constants.h"
#include "app/held_folder.h"
#include "app/settings.h"
#include "protocol/pipe_protocol.h"
#include "service/log.h"
#include "service/terminal_seam.h"

namespace calmlane {

ConnectResult classifyConnect(bool succeeded, unsigned long error) {
    if (succeeded || error == ERROR_PIPE_CONNECTED) return ConnectResult::Client;
    if (error == ERROR_IO_PENDING) return ConnectResult::Pending;
    if (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE || error == ERROR_OPERATION_ABORTED) {
        return ConnectResult::Stale;
    }
    return ConnectResult::Failed;
}

namespace {

// A file's identity: volume serial number and file id. Both files of a comparison are identified the
// same way.
struct FileIdentity {
    unsigned long long volume = 0;
    FILE_ID_128 id{};
};

// The file itself, never what a link names: a reparse point is opened as such and refused below.
UniqueHandle openForIdentity(const std::wstring& path) {
    return UniqueHandle(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool idInfo(HANDLE file, FileIdentity& identity) {
    FILE_ID_INFO info = {};
    if (!GetFileInformationByHandleEx(file, FileIdInfo, &info, sizeof(info))) return false;
    identity.volume = info.VolumeSerialNumber;
    identity.id = info.FileId;
    return true;
}

// The 64-bit index and the number of names, from the one call every file system answers; false for
// anything but a plain file.
bool indexInfo(HANDLE file, FileIdentity& identity, DWORD& links) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) return false;
    if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return false;
    identity.volume = info.dwVolumeSerialNumber;
    const unsigned long long index = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    std::memcpy(identity.id.Identifier, &index, sizeof(index));
    links = info.nNumberOfLinks;
    return true;
}

// A random name: nobody can take it before the service does, since nobody knows it before it exists.
unsigned long freshPipeName(std::wstring& name) {
    unsigned char random[pipe::RandomBytes] = {};
    const NTSTATUS status = BCryptGenRandom(nullptr, random, sizeof(random), BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (status < 0) return ERROR_GEN_FAILURE;
    name = pipe::name(random);
    return ERROR_SUCCESS;
}

}  // namespace

bool isInstalledSaver(const std::wstring& image, const std::wstring& installed) {
    if (!onFixedDisk(image)) return false;
    // The client's path is the one it was started from, which its user may since have re-pointed: a
    // link anywhere along it could name the installed file, so none is followed.
    const UniqueHandle client = openWithoutLinks(image, Entry::File, 0);
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

bool ControlPipe::Operation::start(HANDLE pipe) {
    if (!event) event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!event || !ResetEvent(event.get())) return false;
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event.get();
    return pipe != nullptr;
}

// The OVERLAPPED and its buffer stay in use until the cancelled operation has completed.
void ControlPipe::Operation::cancel(HANDLE pipe) {
    if (!pending) return;
    CancelIoEx(pipe, &overlapped);  // ERROR_NOT_FOUND: it completed meanwhile
    DWORD ignored = 0;
    GetOverlappedResult(pipe, &overlapped, &ignored, TRUE);
    pending = false;
}

bool ControlPipe::Instance::listen() {
    // A few clients that came and went are cleared at once; more than that wait for the next call.
    for (int attempt = 0; !connected && attempt < 4; ++attempt) {
        ConnectResult result;
        if (connect.pending) {
            DWORD ignored = 0;
            const bool done = GetOverlappedResult(pipe.get(), &connect.overlapped, &ignored, FALSE) != FALSE;
            const DWORD error = done ? ERROR_SUCCESS : GetLastError();
            if (!done && error == ERROR_IO_INCOMPLETE) return false;
            connect.pending = false;
            result = classifyConnect(done, error);
        } else {
            if (!connect.start(pipe.get())) throw std::runtime_error("Pipe listen failed");
            const bool done = ConnectNamedPipe(pipe.get(), &connect.overlapped) != FALSE;
            result = classifyConnect(done, done ? ERROR_SUCCESS : GetLastError());
            connect.pending = result == ConnectResult::Pending;
            if (connect.pending) return false;
        }
        if (result == ConnectResult::Failed) throw std::runtime_error("Pipe listen failed");
        connected = result == ConnectResult::Client;
        if (!connected) DisconnectNamedPipe(pipe.get());  // it came and went: listen again
    }
    return connected;
}

void ControlPipe::Instance::disconnect() {
    connect.cancel(pipe.get());
    DisconnectNamedPipe(pipe.get());
    connected = false;
}

unsigned long ControlPipe::create() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(pipe::Sddl, SDDL_REVISION_1, &descriptor, nullptr)) {
        return GetLastError();
    }
    UniqueLocal descriptorMemory(descriptor);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
    const DWORD mode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    const auto createInstance = [&](const std::wstring& name, DWORD first) {
        return UniqueHandle(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | first, mode,
                                             PipeInstances, 128, PipeInBufferBytes, 0, &attributes));
    };
    unsigned long error = ERROR_SUCCESS;
    std::wstring name;
    // A name that exists already cannot be ours: another is drawn.
    for (int attempt = 0; attempt < 4 && !instances_[0].pipe; ++attempt) {
        if ((error = freshPipeName(name)) != ERROR_SUCCESS) return error;
        instances_[0].pipe = createInstance(name, FILE_FLAG_FIRST_PIPE_INSTANCE);
        error = instances_[0].pipe ? ERROR_SUCCESS : GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_ACCESS_DENIED && error != ERROR_PIPE_BUSY) return error;
    }
    for (std::size_t i = 1; i < instances_.size() && error == ERROR_SUCCESS; ++i) {
        instances_[i].pipe = createInstance(name, 0);
        if (!instances_[i].pipe) error = GetLastError();
    }
    if (error == ERROR_SUCCESS) {
        error = static_cast<unsigned long>(RegSetKeyValueW(HKEY_LOCAL_MACHINE, RegistryPath, ControlPipeValue, REG_SZ,
                                                           name.c_str(),
                                                           static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t))));
    }
    if (error != ERROR_SUCCESS) {
        for (Instance& instance : instances_) instance.pipe.reset();
        return error;
    }
    path_ = name;
    return ERROR_SUCCESS;
}

void ControlPipe::close() {
    if (!instances_[0].pipe) return;
    read_.cancel(current());
    for (Instance& instance : instances_) {
        instance.connect.cancel(instance.pipe.get());
        instance.pipe.reset();
        instance.connected = false;
    }
    // A saver that still finds the old path is refused by its server check; a missing value is plainer.
    std::wstring published;
    if (readString(HKEY_LOCAL_MACHINE, RegistryPath, ControlPipeValue, published) && published == path_) {
        RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, RegistryPath, ControlPipeValue);
    }
    path_.clear();
}

bool ControlPipe::clientConnected() {
    // Every free instance listens; the first client after the current one is judged next, so that a
    // program knocking on one instance does not keep a waiting saver on another from its turn.
    std::size_t found = instances_.size();
    for (std::size_t step = 1; step <= instances_.size(); ++step) {
        const std::size_t i = (current_ + step) % instances_.size();
        if (instances_[i].listen() && found == instances_.size()) found = i;
    }
    if (found == instances_.size()) return false;
    current_ = found;
    return true;
}

UniqueHandle ControlPipe::admit(std::atomic<std::uint32_t>& published, std::uint32_t none) {
    UniqueHandle process;
    // A refused client's session is withdrawn as soon as it was published.
    const auto refuse = [&] {
        published.exchange(none);
        return UniqueHandle();
    };
    try {
        // A client that has already closed its end is not judged: a program that knocks in a loop leaves a
        // trail of such connections, and each must cost as little as possible.
        DWORD waiting = 0;
        if (!PeekNamedPipe(current(), nullptr, 0, nullptr, &waiting, nullptr)) return {};
        ULONG processId = 0;
        if (!GetNamedPipeClientProcessId(current(), &processId)) return {};
        DWORD session = 0;
        if (!ProcessIdToSessionId(processId, &session) || session == 0) return {};
        published.exchange(session);
        DWORD connectState = 0;
        if (!terminal::sessionConnectState(session, connectState) || connectState != 0 /* WTSActive */) {
            logEvent(L"Rejected inactive client session: " + std::to_wstring(session));
            return refuse();
        }
        process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, processId));
        if (!process) return refuse();
        std::vector<wchar_t> image(32768);
        DWORD length = static_cast<DWORD>(image.size());
        const std::wstring expected = installDir() + L"\\Calmlane.scr";
        if (!QueryFullProcessImageNameW(process.get(), 0, image.data(), &length) ||
            !isInstalledSaver(std::wstring(image.data(), length), expected)) {
            logEvent(L"Rejected client executable path.");
            return refuse();
        }
        logEvent(L"Accepted saver process: " + std::to_wstring(processId));
    } catch (...) {
        return refuse();  // e.g. no install folder known: a silent refusal
    }
    // The session holds the pipe: everyone else finds it busy until it ends.
    for (std::size_t i = 0; i < instances_.size(); ++i) {
        if (i != current_) instances_[i].disconnect();
    }
    return process;
}

PipeRead ControlPipe::takeRead(bool completed, DWORD error) {
    PipeRead result;
    if (!completed) {
        result.kind = PipeRead::Kind::Error;
        result.error = error;
        return result;
    }
    DWORD count = 0;
    GetOverlappedResult(current(), &read_.overlapped, &count, FALSE);
    if (count > 0) {
        result.kind = PipeRead::Kind::Message;
        result.text.assign(buffer_, count);
    }
    return result;
}

PipeRead ControlPipe::read() {
    if (read_.pending) {
        DWORD count = 0;
        const bool done = GetOverlappedResult(current(), &read_.overlapped, &count, FALSE) != FALSE;
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (!done && error == ERROR_IO_INCOMPLETE) return {};
        read_.pending = false;
        return takeRead(done, error);
    }
    if (!read_.start(current())) return takeRead(false, GetLastError());
    std::memset(buffer_, 0, sizeof(buffer_));
    // A longer message than the protocol allows completes with ERROR_MORE_DATA (234) and ends the session.
    if (ReadFile(current(), buffer_, pipe::MessageLimit, nullptr, &read_.overlapped)) {
        return takeRead(true, ERROR_SUCCESS);
    }
    const DWORD error = GetLastError();
    read_.pending = error == ERROR_IO_PENDING;
    return read_.pending ? PipeRead{} : takeRead(false, error);
}

void ControlPipe::write(std::string_view text) {
    // A failed reply is ignored: the client treats a broken pipe like "ERROR". A few bytes always fit the
    // client's buffer, so the write completes at once; one that does not is given up after 100 ms.
    Operation operation;
    if (!operation.start(current())) return;
    if (WriteFile(current(), text.data(), static_cast<DWORD>(text.size()), nullptr, &operation.overlapped) ||
        GetLastError() != ERROR_IO_PENDING) {
        return;
    }
    operation.pending = WaitForSingleObject(operation.event.get(), 100) != WAIT_OBJECT_0;
    operation.cancel(current());
}

void ControlPipe::disconnect() {
    read_.cancel(current());
    instances_[current_].disconnect();
}

std::vector<HANDLE> ControlPipe::events() const {
    if (read_.pending) return {read_.event.get()};
    std::vector<HANDLE> events;
    for (const Instance& instance : instances_) {
        if (instance.connected) return {};  // a client to judge or to read: nothing to wait for
        if (instance.connect.pending) events.push_back(instance.connect.event.get());
    }
    return events;
}

}  // namespace calmlane
