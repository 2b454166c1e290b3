#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/TerminalSessions.h"
#include "service/LaunchedAgent.h"

namespace veltrix {

// What the service knows of a pipe client when it decides whose session the client acts for.
struct PipeClientFacts {
    uid_t uid = 0;                          // the user the kernel recorded when it connected
    std::optional<LaunchedAgent> launched;  // the agent the service launched, when it is one
    std::optional<std::uint32_t> claim;     // the session the client names itself (its environment)
};

// The session a pipe client acts for, or why it is refused.
struct PipeClientSession {
    std::optional<std::uint32_t> sessionId;  // nothing: refused
    std::string refusal;                     // why, for the log
};

// Decides only from facts the client cannot choose: an agent the service launched acts for the
// session it was launched into; any other client for a session of its own user (the first one, or
// the one it names when that is its user's), root without a session of its own for session 0
// (whose user is the console's). The client's own claim is never evidence: a claim that names
// another session than these is refused, so no client can act with another user's rights.
PipeClientSession decidePipeClientSession(const PipeClientFacts& client,
                                          const std::vector<platform::sessions::TerminalSession>& sessions);

}  // namespace veltrix
