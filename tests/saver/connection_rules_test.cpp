// When the saver asks for the pause, and what it makes of the service's answers.
#include "saver/connection_rules.h"

#include <gtest/gtest.h>

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

// Only "ERROR" refuses, and only for the service process that said it; a loss, also before any reply, is
// asked for again.
TEST(ConnectionRules, OnlyAnErrorReadIsARefusalOfThatServiceProcess) {
    const struct {
        const char* reply;  // nullptr: the connection is lost before any reply
        bool confirmed;
        unsigned long refusedBy;
    } rows[] = {{"OK", true, 0}, {"ERROR", false, 7}, {nullptr, false, 0}, {"OKAY", false, 0}, {"ERRO", false, 0}};
    for (const auto& row : rows) {
        ConnectionRules rules(0);
        rules.connected(7);
        EXPECT_EQ(row.reply ? rules.replied(row.reply) : false, row.confirmed) << (row.reply ? row.reply : "lost");
        rules.lost();
        EXPECT_FALSE(rules.confirmed());
        EXPECT_EQ(rules.refusedBy(), row.refusedBy);
        EXPECT_EQ(rules.asks(7), row.refusedBy == 0);
        EXPECT_TRUE(rules.asks(8));  // a restarted service is asked again
    }
}

}  // namespace
}  // namespace calmlane
