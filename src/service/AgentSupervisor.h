#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "service/IAgentPlatform.h"
#include "service/LaunchedAgent.h"

namespace veltrix::service {

// Starts and ends the capture agents of the machine: the user-session agent (the client program
// with "--minimized" under the session user's token) and the headless agent ("--headless" under
// the service's own token moved into the session), and remembers the one of each kind it started
// last. The records may be read from the control thread; launches and terminations run on the
// Qt thread.
class AgentSupervisor {
public:
    explicit AgentSupervisor(std::shared_ptr<IAgentPlatform> platform);

    IAgentPlatform& platform() { return *platform_; }

    // The launch ladder: the linked token [A], then the user token [B], then the with-token
    // calls [C] and [C+] while the program keeps asking for elevation. True when one worked.
    bool launchAgentInUserSession(std::uint32_t sessionId);
    // A user-session agent in every active session unless the client already runs.
    bool launchAgentsInActiveSessions();
    // The headless agent in `sessionId`, or with -1 in the active console session.
    bool launchHeadlessAgentInSession(std::int64_t sessionId);

    bool headlessAgentRunning();
    bool userAgentRecorded();
    std::optional<platform::agents::LaunchedProcess> headlessAgent();
    std::optional<platform::agents::LaunchedProcess> userAgent();
    // The session of the last user-session agent launched (kept after it is terminated); 0: none.
    std::uint32_t agentSessionId();

    // The recorded agent that process `pid` is, while that agent still runs: the service
    // launched it itself, so its session is known from the launch and not from anything the
    // process says.
    std::optional<LaunchedAgent> launchedAgentOf(pid_t pid);

    // End the recorded agent (if it still runs) and clear its record.
    void terminateHeadlessAgent(int waitMs);
    void terminateUserAgent(int waitMs);

private:
    std::shared_ptr<IAgentPlatform> platform_;
    std::mutex mutex_;
    std::optional<platform::agents::LaunchedProcess> headless_;
    std::optional<platform::agents::LaunchedProcess> user_;
    std::uint32_t agentSessionId_ = 0;
    std::uint32_t headlessSessionId_ = 0;
};

}  // namespace veltrix::service
