#include "service/PipeClientSession.h"

#include <algorithm>

namespace veltrix {
namespace {

namespace sessions = platform::sessions;

PipeClientSession refuse(std::string why) { return {std::nullopt, std::move(why)}; }

std::optional<std::uint32_t> firstSessionOf(uid_t uid, const std::vector<sessions::TerminalSession>& list) {
    std::optional<std::uint32_t> first;
    for (const auto& s : list) {
        if (s.uid != uid) continue;
        if (s.state == sessions::ConnectState::Active) return s.id;
        if (!first) first = s.id;
    }
    return first;
}

}  // namespace

PipeClientSession decidePipeClientSession(const PipeClientFacts& client,
                                          const std::vector<sessions::TerminalSession>& list) {
    if (client.launched) {
        const std::uint32_t launchedInto = client.launched->sessionId;
        if (client.claim && *client.claim != launchedInto) {
            return refuse("it claims session " + std::to_string(*client.claim) + " but was launched into session " +
                          std::to_string(launchedInto));
        }
        return {launchedInto, {}};
    }
    if (client.claim) {
        const bool itsUsers = std::any_of(list.begin(), list.end(), [&](const sessions::TerminalSession& s) {
            return s.id == *client.claim && s.uid == client.uid;
        });
        if (!itsUsers) {
            return refuse("it claims session " + std::to_string(*client.claim) + ", which is not a session of uid " +
                          std::to_string(client.uid));
        }
        return {*client.claim, {}};
    }
    if (const auto own = firstSessionOf(client.uid, list)) return {*own, {}};
    if (client.uid == 0) return {0u, {}};
    return refuse("uid " + std::to_string(client.uid) + " has no terminal session");
}

}  // namespace veltrix
