#pragma once
// When the saver asks the service for the pause and what it makes of the service's answers, as plain
// numbers and words: tested natively, and explored together with the service's session machine.
#include <cstdint>
#include <string_view>

namespace calmlane {

// Without a connection the saver tries at each pipe step in its first 1,500 ms, then once a second for as
// long as it runs, so that a late service, a busy pipe or a lost session still ends in a pause.
inline constexpr std::uint64_t ConnectWindowMs = 1499;
inline constexpr std::uint64_t ReconnectMs = 1000;

class ConnectionRules {
public:
    // Everything the rules keep: what the explorer hashes.
    struct State {
        std::uint64_t start = 0;
        std::uint64_t lastAttempt = 0;
        unsigned long service = 0;    // the service process of this connection
        bool confirmed = false;       // this connection's "START" was answered "OK"
        unsigned long refusedBy = 0;  // the service process that answered "ERROR"
    };

    explicit ConnectionRules(std::uint64_t startTicks) { s_.start = startTicks; }

    // Whether to try to open the pipe at `now`, and, once the running service's process is known, whether
    // to ask that one: not the process that refused this saver (a restarted service is asked again).
    bool attemptDue(std::uint64_t now) const;
    void attempting(std::uint64_t now) { s_.lastAttempt = now; }
    bool asks(unsigned long service) const { return s_.refusedBy == 0 || service != s_.refusedBy; }

    // "START" went to the service process `service`.
    void connected(unsigned long service) { s_.service = service; }
    // A reply was read: true when it confirms the pause. Only "ERROR" is a refusal.
    bool replied(std::string_view reply);
    // The connection is gone, broken or given up. Whatever ended it, even before a reply came (a
    // disconnect throws unread replies away), the pause is asked for again unless it was refused.
    void lost() { s_.confirmed = false; }

    bool confirmed() const { return s_.confirmed; }
    unsigned long refusedBy() const { return s_.refusedBy; }
    const State& state() const { return s_; }

private:
    State s_;
};

}  // namespace calmlane
