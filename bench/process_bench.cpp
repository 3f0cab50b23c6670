// Whole-process figures of a pause session under Wine's service manager, with the test variant as the
// service and the scripted client as the saver: START→"OK" latency and the release latency after "STOP"
// with the display on, both from the service's own log lines, median of five sessions. Then the service
// idles, for scripts/bench-process.sh to count its wake-ups; with "shipped" that is the shipped
// Calmlane.exe (which, idle, needs none of what Wine lacks) and no session runs before.
//   process_bench IDLE_SECONDS [shipped]
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/constants.h"
#include "app/settings.h"
#include "support/debug_log.h"
#include "support/registry_scratch.h"
#include "support/service_harness.h"

namespace {

using namespace calmlane;
using namespace calmlane::test;

ULONGLONG median(std::vector<ULONGLONG> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const DWORD idleSeconds = argc > 1 ? static_cast<DWORD>(_wtoi(argv[1])) : 5;
    const bool shipped = argc > 2 && std::wstring(argv[2]) == L"shipped";
    RegistryScratch scratch;
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    DebugLog log;
    InstalledService service(L"pipe_client.exe", shipped ? L"Calmlane.exe" : L"Calmlane-test.exe");
    if (!log.active() || !service.start()) {
        std::printf("FAILED: the service did not start\n");
        return 1;
    }
    std::vector<ULONGLONG> startToOk, stopToRelease;
    for (int i = 0; i < (shipped ? 0 : 5); ++i) {
        log.clear();
        runPipeClient(service.installedClient(), L"open send:START reply alive:600 send:STOP close");
        DebugLine accepted{}, blocked, stopped, released;
        for (const DebugLine& line : log.lines()) {
            if (line.text.rfind("Calmlane: Accepted saver process: ", 0) == 0) accepted = line;
        }
        if (accepted.tick == 0 ||
            !log.waitFor("IPv4/IPv6 Internet and LAN blocked (dynamic WFP filters).", 5000, &blocked) ||
            !log.waitFor("Saver sent STOP; checking display before release", 5000, &stopped) ||
            !log.waitFor("Firewall filters released.", 5000, &released)) {
            std::printf("FAILED: session %d did not complete\n", i + 1);
            return 1;
        }
        startToOk.push_back(blocked.tick - accepted.tick);
        stopToRelease.push_back(released.tick - stopped.tick);
    }
    if (!shipped) {
        std::printf("START to OK (admission to block and reply): %llu ms\n", median(startToOk));
        std::printf("release after STOP, display on (2,000 ms grace designed): %llu ms\n", median(stopToRelease));
    }
    std::printf("service process %lu idle for %lu s\n", service.processId(), idleSeconds);
    std::fflush(stdout);
    Sleep(idleSeconds * 1000);
    return 0;
}
