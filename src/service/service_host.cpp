#include "service/service_host.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <thread>
#include <vector>

#include "app/constants.h"
#include "app/error_text.h"
#include "app/handles.h"
#include "service/adapters.h"
#include "service/control_pipe.h"
#include "service/log.h"
#include "service/network_block.h"
#include "service/power_seam.h"
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
            client_ = pipe_.admit(signals.clientSession, NoSession);
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

    void reply(std::string_view text) override { pipe_.write(text); }

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

// Why the loop woke.
enum class Woke { Stop, Control, Pipe, Client, Block, Deadline, Failed };

// Sleeps until something the machine waits for happens: a stop, a control, the pipe's listen or read
// completing, the client process ending, the block returning, or `until` (the machine's next deadline).
// When the pipe has something to do at once it does not sleep, unless `pausing` after a failure.
Woke waitForWake(const Wake& wake, std::uint64_t until, bool pausing, ControlPipe& pipe, HostPort& port) {
    const std::uint64_t now = GetTickCount64();
    std::vector<HANDLE> handles = {stopEvent.get(), wakeEvent.get()};
    std::vector<Woke> reasons = {Woke::Stop, Woke::Control};
    const auto add = [&](HANDLE handle, Woke reason) {
        handles.push_back(handle);
        reasons.push_back(reason);
    };
    if (wake.pipe) {
        if (!pausing && pipe.readyNow()) until = now;
        for (HANDLE event : pipe.events()) add(event, Woke::Pipe);
    }
    if (wake.client && port.clientProcess()) add(port.clientProcess(), Woke::Client);
    if (wake.block && port.blockWorker()) add(port.blockWorker(), Woke::Block);
    const DWORD timeout = until == Wake::Never ? INFINITE
                          : until <= now        ? 0
                                                : static_cast<DWORD>(std::min<std::uint64_t>(until - now, 0x7FFFFFFF));
    const DWORD waited = WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, timeout);
    if (waited == WAIT_TIMEOUT) return Woke::Deadline;
    if (waited >= WAIT_OBJECT_0 && waited < WAIT_OBJECT_0 + handles.size()) return reasons[waited - WAIT_OBJECT_0];
    return Woke::Failed;
}

void runLoop(SessionMachine& machine, ControlPipe& pipe, HostPort& port) {
    Backoff backoff;
    // After a failed wait or pass, the next pass comes this much later at the latest, and never at once;
    // 0 when nothing failed.
    std::uint64_t pause = 0;
    for (;;) {
        const std::uint64_t now = GetTickCount64();
        const Wake wake = machine.wake(now);
        const Woke woke =
            waitForWake(wake, pause != 0 ? std::min(wake.at, now + pause) : wake.at, pause != 0, pipe, port);
        if (woke == Woke::Stop) return;
        pause = 0;
        if (woke == Woke::Failed) {
            // Never spin: the back-off is waited out on the stop event alone, and a pass runs anyway.
            pause = backoff.next();
            if (WaitForSingleObject(stopEvent.get(), static_cast<DWORD>(pause)) != WAIT_TIMEOUT) return;
        }
        try {
            const bool restoreRequested = signals.restoreRequested.exchange(false);
            const std::uint32_t reason = restoreRequested ? signals.recoveryReason.load() : 0;
            machine.pass(GetTickCount64(), signals.consoleDisplayState.load(), restoreRequested, reason);
        } catch (...) {
            if (pause == 0) pause = backoff.next();  // the pass is run again after the back-off
        }
        if (pause == 0) backoff.reset();
        // Published at admission; withdrawn once the pause is no longer held.
        if (!machine.holdsPause()) signals.clientSession.exchange(NoSession);
    }
}

// While the stop procedure waits for a running block and releases (seconds per adapter), the manager
// hears every second that the stop advances.
class StopProgress {
public:
    StopProgress() {
        done_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!done_) return;
        try {
            reporter_ = std::thread([this] {
                for (DWORD checkpoint = 2; WaitForSingleObject(done_.get(), 1000) == WAIT_TIMEOUT; ++checkpoint) {
                    reportStatus(SERVICE_STOP_PENDING, 0, checkpoint, 5000);
                }
            });
        } catch (...) {
            // No reporter: the stop still runs, on the handler's first report alone.
        }
    }
    ~StopProgress() {
        if (!reporter_.joinable()) return;
        SetEvent(done_.get());
        reporter_.join();
    }
    StopProgress(const StopProgress&) = delete;
    StopProgress& operator=(const StopProgress&) = delete;

private:
    UniqueHandle done_;
    std::thread reporter_;
};

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
        logEvent(L"Service start-up failed: the control pipe could not be created: " + errorText(error));
        stopEvent.reset();
        reportStatus(SERVICE_STOPPED, 0, 0, 0, error);
        return;
    }
    reportStatus(SERVICE_RUNNING,
                 SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_POWEREVENT |
                     SERVICE_ACCEPT_SESSIONCHANGE,
                 0, 0);
    logEvent(L"Service started.");
    HPOWERNOTIFY displaySubscription = power::subscribeDisplay(statusHandle, controlEx);
    if (!displaySubscription) {
        logEvent(L"Display power subscription failed; screen-off hold unavailable: " + errorText(GetLastError()));
    }

    runLoop(machine, pipe, port);

    if (displaySubscription) power::unsubscribeDisplay(displaySubscription);
    {
        const StopProgress progress;
        try {
            machine.stop();
        } catch (...) {
            // Logged lines may be lost; the release below the machine has already been tried.
        }
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
