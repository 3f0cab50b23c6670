// The service log's three sinks and the error texts.
#include "service/log.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/constants.h"
#include "support/debug_log.h"
#include "support/process.h"
#include "support/registry_scratch.h"

namespace calmlane {
namespace {

std::wstring lastDiagnostic() {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (!test::readRawValue(HKEY_LOCAL_MACHINE, RegistryPath, L"LastDiagnostic", type, data)) return L"<none>";
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2 - 1);
}

TEST(ServiceLog, EachLineReachesTheRegistryAndTheDebugger) {
    test::RegistryScratch scratch;
    test::DebugLog log;
    logEvent(L"Service stopping: restoring network.");
    EXPECT_EQ(lastDiagnostic(), L"Service stopping: restoring network.");
    EXPECT_TRUE(log.waitFor("Service stopping: restoring network.", 2000));
    logEvent(L"");
    EXPECT_EQ(lastDiagnostic(), L"");
    test::DebugLine line;
    ASSERT_TRUE(log.waitFor("", 2000, &line));
    EXPECT_EQ(line.processId, GetCurrentProcessId());
    EXPECT_TRUE(line.lineFeed);
    // Repeats skip only the event log: the registry and the debugger still get every line.
    logEvent(L"");
    const auto empties = [&] {
        const std::vector<std::string> messages = log.messages();
        return std::count(messages.begin(), messages.end(), "");
    };
    test::waitUntil([&] { return empties() >= 2; }, 2000, 20);
    EXPECT_EQ(empties(), 2);
}

TEST(ServiceLog, TheEventLogTakesARepeatedLineOnceAMinute) {
    const struct {
        std::uint64_t at;
        const wchar_t* line;
        bool admitted;
    } rows[] = {
        {1000, L"Rejected client executable path.", true},
        {1100, L"Rejected client executable path.", false},
        {60999, L"Rejected client executable path.", false},
        {61000, L"Rejected client executable path.", true},  // a minute after the last admitted copy
        {62000, L"Adapter restoration pending: A", true},
        {64000, L"Adapter restoration pending: A", false},
        {64001, L"Rejected client executable path.", true},  // not the previous line
        {64002, L"", true},
        {64003, L"", false},
    };
    RepeatFilter filter;
    for (const auto& row : rows) EXPECT_EQ(filter.admit(row.line, row.at), row.admitted) << row.at;
}

TEST(ServiceLog, ErrorTextAppendsTheCode) {
    const std::wstring denied = errorText(5);
    EXPECT_TRUE(denied.size() > 4 && denied.compare(denied.size() - 4, 4, L" (5)") == 0) << denied.c_str();
    EXPECT_NE(denied, L"Windows error (5)");
    EXPECT_EQ(errorText(0x2000BEEF), L"Windows error (536919791)");
}

}  // namespace
}  // namespace calmlane
