// The service log's three sinks and the error texts.
#include "service/log.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "app/constants.h"
#include "app/error_text.h"
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

TEST(ServiceLog, ErrorTextAppendsTheCode) {
    const std::wstring denied = errorText(5);
    EXPECT_TRUE(denied.size() > 4 && denied.compare(denied.size() - 4, 4, L" (5)") == 0) << denied.c_str();
    EXPECT_NE(denied, L"Windows error (5)");
    EXPECT_EQ(errorText(0x2000BEEF), L"Windows error (536919791)");
}

}  // namespace
}  // namespace calmlane
