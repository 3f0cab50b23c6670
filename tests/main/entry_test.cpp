#include "main/entry.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace calmlane {
namespace {

std::vector<std::string> reports;
void recordReport(const char* message) { reports.emplace_back(message); }

TEST(RoleHandler, ReturnsTheRoleResultWithoutReporting) {
    reports.clear();
    EXPECT_EQ(runGuarded([] { return 7; }, recordReport), 7);
    EXPECT_TRUE(reports.empty());
}

TEST(RoleHandler, AnExceptionGivesExactlyOneReportAndExitCodeOne) {
    reports.clear();
    EXPECT_EQ(runGuarded([]() -> int { throw std::runtime_error("Registry write failed"); }, recordReport), 1);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], "Registry write failed");

    reports.clear();
    EXPECT_EQ(runGuarded([]() -> int { throw 42; }, recordReport), 1);
    EXPECT_EQ(reports.size(), 1u);
}

}  // namespace
}  // namespace calmlane
