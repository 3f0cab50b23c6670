#include "service/service_host.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

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
UniqueHandle wakeEvent;  // set by the control handler after it recorded a control

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
    ~HostPort() override { blockOutcome(true); }
    HostPort(const HostPort&) = delete;
    HostPort& operator=(const HostPort&) = delete;

    void log(const std::wstring& line) override { logEvent(line); }

    // A refused client's instance listens again at the next call, made at once in this same pass or, after
    // a few refusals, in the next one.
    bool pollAndAdmit() override {
        for (std::size_t judged = 0; judged < PipeInstances && pipe_.clientConnected(); ++judged) {
            client_ = pipe_.admit(clientSession_);
            if (client_) return true;
            pipe_.disconnect();
        }
        return false;
    }

    PipeRead readPipe() override { return pipe_.read(); }

    bool clientProcessEnded() override {
        return !client_ || WaitForSingleObject(client_.get(), 0) != WAIT_TIMEOUT;
    }

    void beginBlock() override {
        blockResult_ = false;
        worker_.reset(CreateThread(nullptr, 0, blockWorker, this, 0, nullptr));
        if (!worker_) blockResult_ = blockNetwork();  // no thread: the block runs here, as it must run
    }

    std::optional<bool> blockOutcome(bool wait) override {
        if (worker_) {
            if (WaitForSingleObject(worker_.get(), wait ? INFINITE : 0) != WAIT_OBJECT_0) return std::nullopt;
            worker_.reset();
        }
        return blockResult_.load();
    }

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

    // What the loop waits on: signalled when the client process ends, when the block's worker returns.
    HANDLE clientProcess() const { return client_.get(); }
    HANDLE blockWorker() const { return worker_.get(); }
    // The session of the last admitted client.
    unsigned long clientSession() const { return clientSession_; }

private:
    static DWORD WINAPI blockWorker(void* self) {
        auto* port = static_cast<HostPort*>(self);
        try {
            port->blockResult_ = blockNetwork();
        } catch (...) {
            port->blockResult_ = false;
        }
        return 0;
    }

    ControlPipe& pipe_;
    UniqueHandle client_;
    unsigned long clientSession_ = NoSession;
    UniqueHandle worker_;
    std::atomic<bool> blockResult_{false};
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
    SetEvent(wakeEvent.get());  // the loop takes what was recorded
    return NO_ERROR;
}

// Failed waits and passes are tried again after 50 ms, then after twice as long, at most every 2 s.
std::uint64_t nextBackoff(std::uint64_t delay) { return std::min<std::uint64_t>(delay ? delay * 2 : 50, 2000); }

// The loop sleeps until something happens: a stop, a control, the pipe's listen or read completing, the
// client process ending, the block returning, or the machine's next deadline. Nothing wakes it otherwise.
void runLoop(SessionMachine& machine, HostPort& port, ControlPipe& pipe) {
    std::uint64_t backoff = 0;  // not 0: the last wait or pass failed
    for (;;) {
        const std::uint64_t now = GetTickCount64();
        const Wake wake = machine.wake(now);
        std::vector<HANDLE> handles = {stopEvent.get(), wakeEvent.get()};
        std::uint64_t until = wake.at;
        if (wake.pipe) {
            const std::vector<HANDLE> pipeEvents = pipe.events();
            // Nothing pending (a message was just taken, a client waits to be judged): pass again now,
            // unless the last pass failed.
            if (pipeEvents.empty() && backoff == 0) until = now;
            handles.insert(handles.end(), pipeEvents.begin(), pipeEvents.end());
        }
        if (wake.client && port.clientProcess()) handles.push_back(port.clientProcess());
        if (wake.block && port.blockWorker()) handles.push_back(port.blockWorker());
        if (backoff != 0) until = std::min(until, now + backoff);
        const DWORD timeout = until == Wake::Never ? INFINITE
                              : until <= now        ? 0
                                                    : static_cast<DWORD>(std::min<std::uint64_t>(until - now, 0x7FFFFFFF));
        const DWORD waited =
            WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
        if (waited == WAIT_OBJECT_0) return;
        bool failed = waited == WAIT_FAILED;
        if (failed) {
            // Never spin: the back-off is waited out on the stop event alone, and a pass runs anyway.
            backoff = nextBackoff(backoff);
            if (WaitForSingleObject(stopEvent.get(), static_cast<DWORD>(backoff)) != WAIT_TIMEOUT) return;
        }
        try {
            const bool restoreRequested = signals.restoreRequested.exchange(false);
            const std::uint32_t reason = restoreRequested ? signals.recoveryReason.load() : 0;
            machine.pass(GetTickCount64(), signals.consoleDisplayState.load(), restoreRequested, reason);
        } catch (...) {
            failed = true;  // the pass is run again after the back-off
            if (waited != WAIT_FAILED) backoff = nextBackoff(backoff);
        }
        if (!failed) backoff = 0;
        const bool holdsPause = machine.sessionOpen() || machine.holding() || machine.blocking();
        signals.clientSession.exchange(holdsPause ? static_cast<std::uint32_t>(port.clientSession()) : NoSession);
    }
}

void WINAPI serviceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(ServiceName, controlEx, nullptr);
    if (!statusHandle) return;
    stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    wakeEvent.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!stopEvent || !wakeEvent) {
        reportStatus(SERVICE_STOPPED, 0, 0, 0, GetLastError());
        return;
    }
    reportStatus(SERVICE_START_PENDING, 0, 1, 30000);
    ControlPipe pipe;
    HostPort port(pipe);
    SessionMachine machine(port);
    try {
        removeLegacyList();
        machine.startUp(GetTickCount64());
    } catch (...) {
        // What is left blocked is retried by the loop.
    }

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

    runLoop(machine, port, pipe);

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
    case SERVICE_CONTROL_SESSIONCHANGE: {
        // Only the session whose saver holds the pause: another user's logoff or unlock changes nothing.
        const auto* notification = static_cast<const WTSSESSION_NOTIFICATION*>(eventData);
        if (!notification || notification->dwSessionId != s.clientSession.load()) return ControlOutcome::Recorded;
        if (eventType == WTS_CONSOLE_DISCONNECT || eventType == WTS_REMOTE_DISCONNECT ||
            eventType == WTS_SESSION_LOGOFF || eventType == WTS_SESSION_UNLOCK) {
            request(0x30000 + eventType);
        }
        return ControlOutcome::Recorded;
    }
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
