#pragma once
// The test variant installed as the real service in the test prefix's service manager, with the
// scripted pipe client installed beside it as Calmlane.scr.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/debug_log.h"
#include "support/registry_scratch.h"

namespace calmlane::test {

// A test against the platform doubles: the product's keys and the doubles' store start empty, a mode is
// configured (adapter mode, or the firewall by default: no "Firewall" value), the service log is collected.
class DoublesTest : public ::testing::Test {
protected:
    explicit DoublesTest(bool adapterMode = false) : adapterMode_(adapterMode) {}
    void SetUp() override;
    void TearDown() override;

    RegistryScratch scratch;
    DebugLog log;

private:
    bool adapterMode_;
};

// ASCII text of a wide string.
std::string narrow(const std::wstring& text);
// The seam calls the doubles recorded so far, one per line.
std::vector<std::string> seamCalls();
// The adapters and their journal in one line, "started=1,2 journal=3 state=0": the simulated adapters that
// are started, by number; the journal's entries, by adapter number (the id itself when no adapter has it);
// the published NetworkState. An empty list is "-".
std::string adapterSnapshot();

class InstalledService {
public:
    // Copies the service program (as Calmlane.exe: by default the test variant) and the client (as
    // Calmlane.scr: by default the scripted pipe client) into installDir() and registers the service
    // (demand start).
    explicit InstalledService(const wchar_t* client = L"pipe_client.exe", const wchar_t* program = L"Calmlane-test.exe");
    // Stops and deletes the service.
    ~InstalledService();
    InstalledService(const InstalledService&) = delete;
    InstalledService& operator=(const InstalledService&) = delete;

    bool start();
    // Asks for a start without waiting for it (a start that is meant to die on the way).
    bool launch();
    // Stops and waits; `checkpoints`: the highest stop-pending checkpoint seen meanwhile.
    bool stop(DWORD* checkpoints = nullptr);
    // The Win32 exit code the service reported with its last status.
    DWORD exitCode() const;
    DWORD processId() const;
    bool waitForState(DWORD state, DWORD timeoutMs) const;
    bool waitForProcessExit(DWORD processId, DWORD timeoutMs) const;
    // Starts the service again after its process died. Wine's service manager keeps reporting a dead
    // service process as running, so the new start is recognised by its new process id.
    bool restartAfterCrash(DWORD deadProcessId);

    std::wstring installedClient() const { return folder_ + L"\\Calmlane.scr"; }

private:
    std::wstring folder_;
};

// Services by name in the prefix's service manager.
DWORD serviceState(const wchar_t* name);  // 0 when absent
bool waitForServiceState(const wchar_t* name, DWORD state, DWORD timeoutMs);
// A service of that name that nothing starts (its program does not exist).
void createDormantService(const wchar_t* name);
// Stops (or, when it ignores the stop, ends) and deletes the service, and waits until it has gone.
void deleteServiceNamed(const wchar_t* name);

// HKLM "NetworkState" as the service published it (99 when absent).
DWORD publishedNetworkState();
// Polls for a published state: a pending adapter's idle retry publishes 2 and then 3 on every pass.
bool waitForNetworkState(DWORD state, DWORD timeoutMs = 5000);

// Whether the client's output has this exact line.
bool hasLine(const std::vector<std::string>& lines, const std::string& line);
// The client's output without its process id and its sends, joined by ", ": "open ok, reply OK, closed".
std::string clientStory(const std::vector<std::string>& lines);

// Runs the scripted pipe client (installed copy or any other) and returns the lines it wrote.
std::vector<std::string> runPipeClient(const std::wstring& program, const std::wstring& steps, DWORD timeoutMs = 30000);

// Runs the client through Wine's own loader, as `wine PROGRAM` from a shell: Wine then reports the
// process's image under the path it was given, an 8.3 path for instance, as Windows does for a saver it
// starts from a short SCRNSAVE.EXE (a child made with CreateProcessW is reported under its long name).
// Wine hands back no process for a Unix program, so the client is found by the process id it writes first.
std::vector<std::string> runPipeClientThroughLoader(const std::wstring& program, const std::wstring& steps,
                                                    DWORD timeoutMs = 30000);

// Starts the client without waiting; wait with finishPipeClient.
struct PipeClientRun {
    HANDLE process = nullptr;
    std::wstring outFile;
};
PipeClientRun startPipeClient(const std::wstring& program, const std::wstring& steps);
std::vector<std::string> finishPipeClient(PipeClientRun& run, DWORD timeoutMs = 30000);

}  // namespace calmlane::test
