// The product's main job under Wine, as a person would watch it: the test variant installed as the
// service, the saver run with --network-test, the service's log lines printed as they happen, and a
// screenshot of the star field written to the file named on the command line.
#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "app/constants.h"
#include "app/settings.h"
#include "service/service_clients.h"
#include "support/debug_log.h"
#include "support/service_harness.h"

namespace {

using namespace calmlane;

bool saveScreenshot(const std::wstring& path) {
    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    BITMAPINFOHEADER header = {};
    header.biSize = sizeof(header);
    header.biWidth = w;
    header.biHeight = h;  // bottom-up, as a .bmp file stores it
    header.biPlanes = 1;
    header.biBitCount = 24;
    header.biCompression = BI_RGB;
    const DWORD stride = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
    header.biSizeImage = stride * static_cast<DWORD>(h);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, 0, 0, SRCCOPY);
    GdiFlush();
    BITMAPFILEHEADER file = {};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = file.bfOffBits + header.biSizeImage;
    bool saved = false;
    if (FILE* out = _wfopen(path.c_str(), L"wb")) {
        saved = std::fwrite(&file, sizeof(file), 1, out) == 1 && std::fwrite(&header, sizeof(header), 1, out) == 1 &&
                std::fwrite(bits, header.biSizeImage, 1, out) == 1;
        std::fclose(out);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return saved;
}

}  // namespace

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
    std::wstring commandLine = L"\"" + saver + L"\" --network-test";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(saver.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        std::printf("The saver could not be started.\n");
        return 1;
    }
    Sleep(3000);
    const bool shot = saveScreenshot(argv[1]);
    std::printf("NetworkState during the session: %lu (1 = blocked)\n",
                readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", 99));
    WaitForSingleObject(info.hProcess, 15000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    const bool released = log.waitFor("Firewall filters released.", 6000);
    std::printf("NetworkState after the session: %lu (0 = ready)\n",
                readDword(HKEY_LOCAL_MACHINE, RegistryPath, L"NetworkState", 99));
    if (service) service->stop();
    std::printf("%s\n", shot ? "Screenshot written." : "The screenshot could not be written.");
    return released && shot ? 0 : 1;
}
