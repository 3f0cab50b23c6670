#include "service/service_host.h"

#include <exception>

#include "app/constants.h"
#include "app/handles.h"
#include "service/adapters.h"
#include "service/control_pipe.h"
#include "service/log.h"
#include "service/network_block.h"
#include "service/seams.h"
#include "service/session_machine.h"

namespace calmlane {

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
ServiceSignals signals;
UniqueHandle stopEvent;

// Each report is built afresh: the control handler reports stop pending from its own thread.
void reportStatus(DWORD state, DWORD accepted, DWORD checkpoint, DWORD waitHint, DWORD exitCode = NO_ERROR) {
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = accepted;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = checkpoint;
    status.dwWaitHint = waitHint;
    // Nothing useful can be done when the manager does not take the report.
    SetServiceStatus(statusHandle, &status);
}

// The session loop's view of the real pipe and network.
class HostPort final : public SessionPort {
public:
    explicit HostPort(ControlPipe& pipe) : pipe_(pipe) {}

    void log(const std::wstring& line) override { logEvent(line); }

    bool pollAndAdmit() override {
        if (pipe_.poll() != ConnectPoll::Client) return false;
        client_ = pipe_.admit();
        if (!client_) pipe_.disconnect();
        return static_cast<bool>(client_);
    }

    PipeRead readPipe() override { return pipe_.read(); }

    bool clientProcessEnded() override {
        return !client_ || WaitForSingleObject(client_.get(), 0) != WAIT_TIMEOUT;
    }

    bool block() override { return blockNetwork(); }
    std::uint64_t tick() override { return GetTickCount64(); }
    void reply(const char* text) override { pipe_.write(text); }

    bool restore() override {
        try {
            return calmlane::restore();
        } catch (...) {
            publishNetworkState(NetworkState::Failed);
            return false;  // retried by the idle loop
        }
    }

    bool somethingLeftBlocked() override {
        try {
            return calmlane::somethingLeftBlocked();
        } catch (...) {
            return true;
        }
    }

    void closeClientProcess() override { client_.reset(); }
    void disconnectPipe() override { pipe_.disconnect(); }

private:
    ControlPipe& pipe_;
    UniqueHandle client_;
};

void removeLegacyList() {
    const LSTATUS result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, PreservedDisabled);
    if (result == ERROR_SUCCESS) {
        logEvent(L"Legacy disabled-adapter list removed; device states unchanged.");
    } else if (result != ERROR_FILE_NOT_FOUND && result != ERROR_PATH_NOT_FOUND) {
        logEvent(L"Legacy disabled-adapter list could not be removed; it is ignored.");
    }
}

DWORD WINAPI controlEx(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    if (recordControl(signals, control, eventType, eventData) == ControlOutcome::Stop) {
        reportStatus(SERVICE_STOP_PENDING, 0, 1, 30000);
        SetEvent(stopEvent.get());
    }
    return NO_ERROR;
}

void runLoop(SessionMachine& machine) {
    for (;;) {
        const DWORD waited = WaitForSingleObject(stopEvent.get(), 50);
        if (waited != WAIT_TIMEOUT) return;  // stop, or a failed wait: never spin with the network cut
        try {
            const bool restoreRequested = signals.restoreRequested.exchange(false);
            const std::uint32_t reason = restoreRequested ? signals.recoveryReason.load() : 0;
            machine.pass(GetTickCount64(), signals.consoleDisplayState.load(), restoreRequested, reason);
        } catch (...) {
            // A pass that failed unexpectedly is simply over; the next one runs in 50 ms.
        }
    }
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(ServiceName, controlEx, nullptr);
    if (!statusHandle) return;
    stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stopEvent) {
        reportStatus(SERVICE_STOPPED, 0, 0, 0, GetLastError());
        return;
    }
    reportStatus(SERVICE_START_PENDING, 0, 1, 30000);
    try {
        removeLegacyList();
        restore();
    } catch (...) {
        // What is left blocked is retried by the idle loop.
    }

    ControlPipe pipe;
    if (const unsigned long error = pipe.create()) {
        stopEvent.reset();
        reportStatus(SERVICE_STOPPED, 0, 0, 0, error);
        return;
    }
    reportStatus(SERVICE_RUNNING,
                 SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT |
                     SERVICE_ACCEPT_SESSIONCHANGE,
                 0, 0);
    HPOWERNOTIFY displaySubscription = power::subscribeDisplay(statusHandle, controlEx);
    if (!displaySubscription) {
        logEvent(L"Display power subscription failed; screen-off hold unavailable: " + errorText(GetLastError()));
    }

    HostPort port(pipe);
    SessionMachine machine(port);
    runLoop(machine);

    if (displaySubscription) power::unsubscribeDisplay(displaySubscription);
    try {
        machine.stop();
    } catch (...) {
        // Logged lines may be lost; the release below the machine has already been tried.
    }
    pipe.close();
    stopEvent.reset();
    reportStatus(SERVICE_STOPPED, 0, 0, 0);
}

}  // namespace

ControlOutcome recordControl(ServiceSignals& s, DWORD control, DWORD eventType, const void* eventData) {
    auto request = [&s](std::uint32_t reason) {
        s.recoveryReason.exchange(reason);
        s.restoreRequested.exchange(true);
    };
    switch (control) {
    case SERVICE_CONTROL_POWEREVENT:
        if (eventType == PBT_POWERSETTINGCHANGE) {
            if (!eventData) return ControlOutcome::Recorded;
            const auto* setting = static_cast<const POWERBROADCAST_SETTING*>(eventData);
            if (!IsEqualGUID(setting->PowerSetting, ConsoleDisplayState) || setting->DataLength != 4) {
                return ControlOutcome::Recorded;
            }
            DWORD value = 0;
            memcpy(&value, setting->Data, sizeof(value));
            if (value > 2) return ControlOutcome::Recorded;
            const std::uint32_t previous = s.consoleDisplayState.exchange(value);
            if (value == 1 && (previous == 0 || previous == 2)) request(0x10000);
        } else if (eventType == PBT_APMSUSPEND || eventType == PBT_APMRESUMESUSPEND ||
                   eventType == PBT_APMRESUMEAUTOMATIC) {
            request(0x20000 + eventType);
        }
        return ControlOutcome::Recorded;
    case RestoreControl:
        request(RestoreControl);
        return ControlOutcome::Recorded;
    case SERVICE_CONTROL_SESSIONCHANGE:
        if (eventType == WTS_CONSOLE_DISCONNECT || eventType == WTS_REMOTE_DISCONNECT ||
            eventType == WTS_SESSION_LOGOFF || eventType == WTS_SESSION_UNLOCK) {
            request(0x30000 + eventType);
        }
        return ControlOutcome::Recorded;
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        return ControlOutcome::Stop;
    default:
        return ControlOutcome::Recorded;
    }
}

void runService() {
    wchar_t name[] = L"CalmlaneNative";
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcherW(table);  // returns when the service has stopped; the result is not examined
}

}  // namespace calmlane
