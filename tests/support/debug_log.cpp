#include "support/debug_log.h"

#include <cstdio>

#include "support/process.h"

namespace calmlane::test {

namespace {
const std::string Prefix = "Calmlane: ";
}

DebugLog::DebugLog() {
    mutex_.reset(CreateMutexW(nullptr, FALSE, L"DBWinMutex"));
    mapping_.reset(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, L"DBWIN_BUFFER"));
    bufferReady_.reset(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY"));
    dataReady_.reset(CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY"));
    stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!mapping_ || !bufferReady_ || !dataReady_ || !stop_) return;
    view_.reset(MapViewOfFile(mapping_.get(), FILE_MAP_READ, 0, 0, 4096));
    if (!view_) return;
    thread_ = std::thread([this] { run(); });
}

DebugLog::~DebugLog() {
    if (thread_.joinable()) {
        SetEvent(stop_.get());
        thread_.join();
    }
}

void DebugLog::run() {
    SetEvent(bufferReady_.get());
    HANDLE waits[] = {dataReady_.get(), stop_.get()};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0) {
        const char* data = static_cast<const char*>(view_.get());
        DebugLine line{GetTickCount64(), *reinterpret_cast<const DWORD*>(data), std::string(data + 4), false};
        line.lineFeed = !line.text.empty() && line.text.back() == '\n';
        while (!line.text.empty() && (line.text.back() == '\n' || line.text.back() == '\r')) line.text.pop_back();
        if (echo_) std::printf("  [service] %s\n", line.text.c_str()), std::fflush(stdout);
        {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.push_back(std::move(line));
        }
        // The next line may come once this one is recorded.
        SetEvent(bufferReady_.get());
    }
}

std::vector<DebugLine> DebugLog::lines() const {
    std::lock_guard<std::mutex> guard(lock_);
    return lines_;
}

void DebugLog::clear() {
    std::lock_guard<std::mutex> guard(lock_);
    lines_.clear();
}

std::vector<std::string> DebugLog::messages() const {
    std::vector<std::string> result;
    for (const DebugLine& line : lines()) {
        if (line.text.rfind(Prefix, 0) == 0) result.push_back(line.text.substr(Prefix.size()));
    }
    return result;
}

bool DebugLog::contains(const std::string& message) const {
    for (const std::string& m : messages()) {
        if (m == message) return true;
    }
    return false;
}

bool DebugLog::waitFor(const std::string& message, DWORD timeoutMs, DebugLine* found) const {
    return waitUntil([&] {
        for (const DebugLine& line : lines()) {
            if (line.text != Prefix + message) continue;
            if (found) *found = line;
            return true;
        }
        return false;
    }, timeoutMs, 20);
}

}  // namespace calmlane::test
