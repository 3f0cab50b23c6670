#include "saver/connection_rules.h"

#include "protocol/pipe_protocol.h"

namespace calmlane {

bool ConnectionRules::attemptDue(std::uint64_t now) const {
    return now - s_.start <= ConnectWindowMs || now - s_.lastAttempt >= ReconnectMs;
}

bool ConnectionRules::replied(std::string_view reply) {
    s_.confirmed = reply == pipe::Ok;
    if (reply == pipe::Error) s_.refusedBy = s_.service;
    return s_.confirmed;
}

}  // namespace calmlane
