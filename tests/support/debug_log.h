#pragma once
// Collects the debugger output of every process in the prefix, the way a debug-output viewer does
// (the DBWIN shared buffer and its two events), so tests see each service log line as it happens.
#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/handles.h"

namespace calmlane::test {

struct DebugLine {
    ULONGLONG tick;
    DWORD processId;
    std::string text;  // without the trailing line feed
    bool lineFeed;     // whether the line ended with one
};

class DebugLog {
public:
    DebugLog();
    ~DebugLog();
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    bool active() const { return static_cast<bool>(view_); }
    std::vector<DebugLine> lines() const;
    void clear();
    // The first line equal to text (after "Calmlane: "), waiting up to timeoutMs; null when none came.
    bool waitFor(const std::string& message, DWORD timeoutMs, DebugLine* found = nullptr) const;
    bool contains(const std::string& message) const;
    // Every message (the text after "Calmlane: ") in order.
    std::vector<std::string> messages() const;
    // When set, each line is also printed as it arrives.
    void echo(bool on) { echo_ = on; }

private:
    void run();

    UniqueHandle mutex_, mapping_, bufferReady_, dataReady_, stop_;
    Unique<NullTraits<void*, ::UnmapViewOfFile>> view_;
    std::thread thread_;
    mutable std::mutex lock_;
    std::vector<DebugLine> lines_;
    std::atomic<bool> echo_{false};
};

}  // namespace calmlane::test
