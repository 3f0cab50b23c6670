// A scripted control-pipe client. Installed as Calmlane.scr in the test prefix it stands in for the
// saver; run from elsewhere it is a client the service must refuse. Each step's outcome is written as
// one line to the --out file, after a first line with its process id.
//   pipe_client --out FILE STEP...
//   open                 open the published pipe (retrying up to 3 s while busy or absent), message mode,
//                        non-blocking
//   send:TEXT            write TEXT as one message ("sent N of M": the bytes the write really took)
//   reply                wait up to 3 s for a reply     alive:MS        "ALIVE" every 600 ms for MS ms
//   sleep:MS             wait                           state           record HKLM NetworkState
//   close                close the handle
//   crowd:MS             open and close the pipe as fast as possible for MS ms, as any local program may
//   burst:N              N "ALIVE"s, ten every 20 ms ("burst sent K of N": the ones the pipe took whole)
//   image                record the image path Windows reports for this process
#include <windows.h>

#include <cstdio>
#include <string>

#include "app/constants.h"
#include "app/handles.h"
#include "app/settings.h"
#include "protocol/service_clients.h"

namespace {

using calmlane::UniqueHandle;

FILE* out = nullptr;
UniqueHandle pipe;

void note(const std::string& line) {
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

void send(const std::string& bytes) {
    DWORD written = 0;
    const bool ok = WriteFile(pipe.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    note(ok ? "sent " + std::to_string(written) + " of " + std::to_string(bytes.size())
            : "send failed " + std::to_string(GetLastError()));
}

void open() {
    const ULONGLONG deadline = GetTickCount64() + 3000;
    for (;;) {
        pipe = calmlane::openControlPipe(500);
        if (pipe) break;
        const DWORD error = GetLastError();
        if (GetTickCount64() > deadline) {
            note("open failed " + std::to_string(error));
            return;
        }
        Sleep(50);
    }
    DWORD mode = PIPE_READMODE_MESSAGE | PIPE_NOWAIT;
    SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
    note("open ok");
}

void reply() {
    const ULONGLONG deadline = GetTickCount64() + 3000;
    while (GetTickCount64() < deadline) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe.get(), nullptr, 0, nullptr, &available, nullptr)) {
            note("reply broken " + std::to_string(GetLastError()));
            return;
        }
        if (available > 0) {
            char buffer[16] = {};
            DWORD read = 0;
            if (ReadFile(pipe.get(), buffer, 15, &read, nullptr)) {
                note("reply " + std::string(buffer, read));
                return;
            }
        }
        Sleep(20);
    }
    note("reply none");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3 || std::wstring(argv[1]) != L"--out" || _wfopen_s(&out, argv[2], L"w") != 0) return 2;
    note("pid " + std::to_string(GetCurrentProcessId()));  // for a starter that has no handle of its own
    for (int i = 3; i < argc; ++i) {
        const std::wstring step = argv[i];
        if (step == L"open") {
            open();
        } else if (step.rfind(L"send:", 0) == 0) {
            send(std::string(step.begin() + 5, step.end()));
        } else if (step == L"reply") {
            reply();
        } else if (step.rfind(L"alive:", 0) == 0) {
            const ULONGLONG end = GetTickCount64() + _wtoi(step.c_str() + 6);
            while (GetTickCount64() < end) {
                Sleep(600);
                send("ALIVE");
            }
        } else if (step.rfind(L"sleep:", 0) == 0) {
            Sleep(_wtoi(step.c_str() + 6));
        } else if (step == L"state") {
            note("state " + std::to_string(calmlane::readDword(HKEY_LOCAL_MACHINE, calmlane::RegistryPath,
                                                               L"NetworkState", 99)));
        } else if (step.rfind(L"crowd:", 0) == 0) {
            const ULONGLONG end = GetTickCount64() + _wtoi(step.c_str() + 6);
            int opened = 0;
            while (GetTickCount64() < end) opened += static_cast<bool>(calmlane::openControlPipe(0));
            note("crowded " + std::to_string(opened));
        } else if (step.rfind(L"burst:", 0) == 0) {
            const int count = _wtoi(step.c_str() + 6);
            int taken = 0;
            for (int i = 0; i < count; ++i) {
                DWORD written = 0;
                taken += WriteFile(pipe.get(), "ALIVE", 5, &written, nullptr) && written == 5;
                if (i % 10 == 9) Sleep(20);
            }
            note("burst sent " + std::to_string(taken) + " of " + std::to_string(count));
        } else if (step == L"image") {
            wchar_t image[MAX_PATH] = {};
            DWORD length = MAX_PATH;
            if (!QueryFullProcessImageNameW(GetCurrentProcess(), 0, image, &length)) length = 0;
            note("image " + std::string(image, image + length));
        } else if (step == L"close") {
            pipe.reset();
            note("closed");
        }
    }
    std::fclose(out);
    return 0;
}
