// What the role guard makes of a throw that is not a std::exception (the entry table's runs cover the role
// that ends normally and the one that throws a runtime error).
#include "main/entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace calmlane {
namespace {

std::vector<std::string> reports;
void recordReport(const char* message) { reports.emplace_back(message); }

TEST(RoleHandler, AnythingThrownGivesExactlyOneReportAndExitCodeOne) {
    EXPECT_EQ(runGuarded([]() -> int { throw 42; }, recordReport), 1);
    EXPECT_EQ(reports, std::vector<std::string>{"Unexpected error."});
}

}  // namespace
}  // namespace calmlane
