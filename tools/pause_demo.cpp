// The product's main job under Wine, as a person would watch it: the test variant installed as the
// service, the saver run with --network-test, the service's log lines printed as they happen, and a
// screenshot of the star field written to the file named on the command line.
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "app/constants.h"
#include "app/settings.h"
#include "protocol/service_clients.h"
#include "support/debug_log.h"
#include "support/gdi_probe.h"
#include "support/process.h"
#include "support/service_harness.h"
#include "ui/ui.h"

using namespace calmlane;

// The whole screen as a bitmap file.
bool saveScreenshot(const std::wstring& path) {
    test::PixelSurface screen(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
    screen.grabScreen();
    return writeBitmapFile(path, screen.width(), screen.height(), screen.bits());
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputws(L"usage: pause_demo SCREENSHOT.bmp [--installed]\n", stderr);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"ModeConfigured", 1);
    writeDword(HKEY_LOCAL_MACHINE, RegistryPath, L"Firewall", 1);
    test::DebugLog log;
    log.echo(true);
    // --installed: the setup program has installed and started the service already.
    const bool installed = argc >= 3 && std::wstring(argv[2]) == L"--installed";
    std::optional<test::InstalledService> service;
    if (installed) {
        if (!serviceRunning()) {
            std::printf("The installed service is not running.\n");
            return 1;
        }
    } else {
        service.emplace(L"Calmlane-test.exe");
        std::printf("Service installed from Calmlane-test.exe (the filtering platform is simulated: Wine has none)\n");
        if (!service->start()) {
            std::printf("The service did not start.\n");
            return 1;
        }
    }
    std::printf("Service running. Starting Calmlane.scr --network-test (a 6-second pause session)...\n");
    const std::wstring saver = installed ? installDir() + L"\\Calmlane.scr" : service->installedClient();
    const test::StartedChild child = test::startChild(saver, L"--network-test");
    if (!child.process) {
        std::printf("The saver could not be started.\n");
        return 1;
    }
    Sleep(3000);
    const bool shot = saveScreenshot(argv[1]);
    std::printf("NetworkState during the session: %lu (1 = blocked)\n",
                readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", 99));
    WaitForSingleObject(child.process.get(), 15000);
    const bool released = log.waitFor("Firewall filters released.", 6000);
    std::printf("NetworkState after the session: %lu (0 = ready)\n",
                readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", 99));
    if (service) service->stop();
    std::printf("%s\n", shot ? "Screenshot written." : "The screenshot could not be written.");
    return released && shot ? 0 : 1;
}
