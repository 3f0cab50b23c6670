// When the saver asks for the pause, and what it makes of the service's answers.
#include "saver/connection_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace calmlane {
namespace {

// Without a session the saver tries at each pipe step (every 500 ms) in its first 1,500 ms, then once a second.
TEST(ConnectionRules, ConnectionsAreTriedAtEachStepThenOnceASecond) {
    const struct {
        std::uint64_t sinceStart, sinceLastAttempt;
        bool due;
    } rows[] = {
        {150, 150, true}, {650, 500, true}, {1499, 500, true}, {1500, 500, false},
        {2150, 999, false}, {2150, 1000, true}, {600000, 1000, true}, {600000, 500, false},
    };
    for (const auto& row : rows) {
        ConnectionRules rules(1000000);
        rules.attempting(1000000 + row.sinceStart - row.sinceLastAttempt);
        EXPECT_EQ(rules.attemptDue(1000000 + row.sinceStart), row.due) << row.sinceStart << "/" << row.sinceLastAttempt;
    }
}

// "OK" confirms the pause and nothing else does (which replies refuse, the explorer checks).
TEST(ConnectionRules, OnlyOkConfirms) {
    ConnectionRules rules(0);
    for (const char* reply : {"OK", "OKAY", "ERROR", "O"}) EXPECT_EQ(rules.replied(reply), reply == std::string("OK"));
}

}  // namespace
}  // namespace calmlane
