#include "support/service_harness.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "doubles/adapters_config.h"
#include "doubles/double_store.h"
#include "service/journal.h"
#include "support/process.h"

namespace calmlane::test {

namespace {

UniqueServiceHandle openManager() {
    return UniqueServiceHandle(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
}

UniqueServiceHandle openService() {
    UniqueServiceHandle manager = openManager();
    return UniqueServiceHandle(OpenServiceW(manager.get(), ServiceName, SERVICE_ALL_ACCESS));
}

SERVICE_STATUS_PROCESS query() {
    SERVICE_STATUS_PROCESS status = {};
    UniqueServiceHandle service = openService();
    DWORD needed = 0;
    if (service) {
        QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                             &needed);
    }
    return status;
}

std::wstring tempFile() {
    wchar_t folder[MAX_PATH] = {}, file[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    GetTempFileNameW(folder, L"pcl", 0, file);
    return file;
}

// Wine's service manager keeps its database locked for a while after the prefix is made, while it
// starts the prefix's own services, and the first start of a service may time out; both are retried.
// After a crash the manager may also count the dead process as running until it has noticed its end.
template <typename Call>
bool retryWhileBusy(Call call, DWORD alsoRetried = 0) {
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (!call()) {
        const DWORD error = GetLastError();
        if ((error != ERROR_SERVICE_DATABASE_LOCKED && error != ERROR_SERVICE_REQUEST_TIMEOUT && error != alsoRetried) ||
            GetTickCount64() > deadline) {
            ADD_FAILURE() << "the service manager refused with " << error;
            return false;
        }
        Sleep(200);
    }
    return true;
}

bool startService(SC_HANDLE service, DWORD alsoRetried = 0) {
    return retryWhileBusy([service] { return StartServiceW(service, 0, nullptr) != FALSE; }, alsoRetried);
}

std::vector<std::string> readLines(const std::wstring& file) {
    std::vector<std::string> lines;
    std::ifstream in{std::filesystem::path(file)};
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A client's lines, and "timed out" when it had to be ended; the output file goes.
std::vector<std::string> collectOutput(const std::wstring& outFile, bool ended) {
    std::vector<std::string> lines = readLines(outFile);
    if (!ended) lines.push_back("timed out");
    DeleteFileW(outFile.c_str());
    return lines;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) text.append(text.empty() ? "" : ",").append(item);
    return text.empty() ? "-" : text;
}

// Wine's loader script, as a path on Wine's drive Z: (the loader binary it runs, named by WINELOADER,
// refuses to be started directly from a Wine process).
constexpr const wchar_t* WineLoader = L"Z:\\usr\\bin\\wine";

}  // namespace

void DoublesTest::SetUp() {
    deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey);
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    if (adapterMode_) writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 0);
}

void DoublesTest::TearDown() { deleteTree(HKEY_LOCAL_MACHINE, doubles::StoreKey); }

std::string narrow(const std::wstring& text) {
    std::string bytes(text.size() * 3, '\0');
    bytes.resize(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                                              bytes.data(), static_cast<int>(bytes.size()), nullptr,
                                                              nullptr)));
    return bytes;
}

std::vector<std::string> seamCalls() {
    std::vector<std::string> lines;
    std::wistringstream in(doubles::storeString(L"Calls"));
    for (std::wstring line; std::getline(in, line);) lines.push_back(narrow(line));
    return lines;
}

std::string adapterSnapshot() {
    const std::vector<doubles::SimulatedAdapter> adapters = doubles::loadAdapters();
    std::vector<std::string> started, journal;
    for (const auto& a : adapters) {
        if ((a.nodeStatus & 0x8) && a.problem == 0) started.push_back(std::to_string(a.devInst));
    }
    for (const std::wstring& id : savedDevices()) {
        const auto found = std::find_if(adapters.begin(), adapters.end(), [&](const auto& a) { return a.id == id; });
        journal.push_back(found == adapters.end() ? narrow(id) : std::to_string(found->devInst));
    }
    return "started=" + joined(started) + " journal=" + joined(journal) +
           " state=" + std::to_string(publishedNetworkState());
}

DWORD serviceState(const wchar_t* name) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    UniqueServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS));
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
}

bool waitForServiceState(const wchar_t* name, DWORD state, DWORD timeoutMs) {
    return waitUntil([&] { return serviceState(name) == state; }, timeoutMs, 50);
}

void createDormantService(const wchar_t* name) {
    UniqueServiceHandle manager = openManager();
    UniqueServiceHandle service(CreateServiceW(manager.get(), name, name, SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                               L"C:\\nowhere\\dormant.exe", nullptr, nullptr, nullptr, nullptr,
                                               nullptr));
    if (!service) ADD_FAILURE() << "CreateServiceW failed: " << GetLastError();
}

void deleteServiceNamed(const wchar_t* name) {
    UniqueServiceHandle manager = openManager();
    UniqueServiceHandle service(OpenServiceW(manager.get(), name, SERVICE_ALL_ACCESS));
    if (!service) return;
    SERVICE_STATUS status = {};
    ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
    if (!waitForServiceState(name, SERVICE_STOPPED, 10000)) {
        // A service that ignores the stop is ended the hard way, so that its deletion completes.
        SERVICE_STATUS_PROCESS process = {};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                 sizeof(process), &needed) &&
            process.dwProcessId != 0) {
            UniqueHandle running(OpenProcess(PROCESS_TERMINATE, FALSE, process.dwProcessId));
            if (running) TerminateProcess(running.get(), 1);
        }
    }
    DeleteService(service.get());
    service.reset();
    // A deleted service lingers, marked for deletion, until its process has gone and the last handle
    // is closed; the next installer or test would meet it (1072).
    waitUntil([&] { return !UniqueServiceHandle(OpenServiceW(manager.get(), name, SERVICE_QUERY_STATUS)); }, 10000, 50);
}

InstalledService::InstalledService(const wchar_t* client, const wchar_t* program) : folder_(installDir()) {
    deleteServiceNamed(ServiceName);
    CreateDirectoryW(folder_.c_str(), nullptr);
    CopyFileW((binFolder() + L"\\" + program).c_str(), (folder_ + L"\\Calmlane.exe").c_str(), FALSE);
    CopyFileW((binFolder() + L"\\" + client).c_str(), (folder_ + L"\\Calmlane.scr").c_str(), FALSE);
    UniqueServiceHandle manager = openManager();
    const std::wstring command = L"\"" + folder_ + L"\\Calmlane.exe\" --service";
    UniqueServiceHandle service;
    retryWhileBusy([&] {
        service.reset(CreateServiceW(manager.get(), ServiceName, L"Calmlane Network Pause", SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
        return static_cast<bool>(service);
    });
}

// Leaves the folder as it found it, so that an installation that follows (the run script's) finds it empty.
InstalledService::~InstalledService() {
    deleteServiceNamed(ServiceName);
    DeleteFileW((folder_ + L"\\Calmlane.exe").c_str());
    DeleteFileW((folder_ + L"\\Calmlane.scr").c_str());
    RemoveDirectoryW(folder_.c_str());
}

bool InstalledService::start() { return launch() && waitForState(SERVICE_RUNNING, 15000); }

bool InstalledService::launch() {
    UniqueServiceHandle service = openService();
    return service && startService(service.get());
}

bool InstalledService::stop(DWORD* checkpoints) {
    UniqueServiceHandle service = openService();
    SERVICE_STATUS status = {};
    if (!service || !ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) return false;
    return waitUntil(
        [&] {
            const SERVICE_STATUS_PROCESS now = query();
            if (checkpoints && now.dwCurrentState == SERVICE_STOP_PENDING) {
                *checkpoints = std::max(*checkpoints, now.dwCheckPoint);
            }
            return now.dwCurrentState == SERVICE_STOPPED;
        },
        15000, 50);
}

DWORD InstalledService::exitCode() const { return query().dwWin32ExitCode; }
DWORD InstalledService::processId() const { return query().dwProcessId; }

bool InstalledService::waitForState(DWORD wanted, DWORD timeoutMs) const {
    return waitForServiceState(ServiceName, wanted, timeoutMs);
}

bool InstalledService::waitForProcessExit(DWORD processId, DWORD timeoutMs) const {
    UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    return !process || WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
}

bool InstalledService::restartAfterCrash(DWORD deadProcessId) {
    UniqueServiceHandle service = openService();
    if (!service || !startService(service.get(), ERROR_SERVICE_ALREADY_RUNNING)) return false;
    SERVICE_STATUS_PROCESS status = {};
    const bool restarted = waitUntil(
        [&] {
            status = query();
            return status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId != deadProcessId &&
                   status.dwProcessId != 0;
        },
        15000, 50);
    if (!restarted) ADD_FAILURE() << "no new service process: state " << status.dwCurrentState << ", process "
                                  << status.dwProcessId << ", exit code " << status.dwWin32ExitCode;
    return restarted;
}

DWORD publishedNetworkState() { return readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", 99); }

bool waitForNetworkState(DWORD state, DWORD timeoutMs) {
    return waitUntil([&] { return publishedNetworkState() == state; }, timeoutMs, 20);
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::string clientStory(const std::vector<std::string>& lines) {
    std::string story;
    for (const std::string& line : lines) {
        if (line.rfind("pid ", 0) == 0 || line.rfind("sent ", 0) == 0) continue;
        story.append(story.empty() ? "" : ", ").append(line);
    }
    return story;
}

PipeClientRun startPipeClient(const std::wstring& program, const std::wstring& steps) {
    PipeClientRun run;
    run.outFile = tempFile();
    run.process = startChild(program, L"--out \"" + run.outFile + L"\" " + steps).process.release();
    return run;
}

std::vector<std::string> finishPipeClient(PipeClientRun& run, DWORD timeoutMs) {
    if (!run.process) return {"not started"};
    UniqueHandle process(run.process);
    run.process = nullptr;
    const bool ended = WaitForSingleObject(process.get(), timeoutMs) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.get(), 1);
    return collectOutput(run.outFile, ended);
}

std::vector<std::string> runPipeClientThroughLoader(const std::wstring& program, const std::wstring& steps,
                                                    DWORD timeoutMs) {
    const std::wstring outFile = tempFile();
    startChild(WineLoader, L"\"" + program + L"\" --out \"" + outFile + L"\" " + steps);  // a failed start times out
    // The client's own process, from its first line.
    UniqueHandle client;
    const bool ended = waitUntil(
        [&] {
            const std::vector<std::string> lines = readLines(outFile);
            if (!client && !lines.empty() && lines.front().rfind("pid ", 0) == 0) {
                client.reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE,
                                         static_cast<DWORD>(std::stoul(lines.front().substr(4)))));
            }
            return client && WaitForSingleObject(client.get(), 0) == WAIT_OBJECT_0;
        },
        timeoutMs, 50);
    if (!ended && client) TerminateProcess(client.get(), 1);  // it must not keep the pipe busy for later tests
    return collectOutput(outFile, ended);
}

std::vector<std::string> runPipeClient(const std::wstring& program, const std::wstring& steps, DWORD timeoutMs) {
    PipeClientRun run = startPipeClient(program, steps);
    return finishPipeClient(run, timeoutMs);
}

}  // namespace calmlane::test
