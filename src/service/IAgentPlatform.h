#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/AgentProcess.h"
#include "platform/TerminalSessions.h"

namespace veltrix::service {

// The credentials an agent is started with: a session user's ("user token"), the same user's
// elevated ones ("linked token", an administrator's), or the service's own moved into a session.
struct AgentToken {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::uint32_t sessionId = 0;
    std::string display;     // the session's X display
    std::string xauthority;  // its authority file
};

// Which agent a launch starts.
enum class AgentKind { UserSession, Headless };

struct ProcessLaunch {
    bool ok = false;
    platform::agents::LaunchedProcess process;
    int lastError = 0;  // the failing call's error code when not ok
};

// What the agent supervision needs of the machine: sessions, the client program's mutex, tokens,
// and starting and ending agent processes. One real implementation; tests use a fake that can
// answer any launch with any error (740, "elevation required", included).
class IAgentPlatform {
public:
    // The error a launch reports when the program demands elevation the token cannot give.
    static constexpr int kErrorElevationRequired = 740;

    virtual ~IAgentPlatform() = default;

    // The client program the agents run: the service's folder + "VeltrixClient".
    virtual std::string agentProgram() = 0;

    virtual std::vector<platform::sessions::TerminalSession> sessions() = 0;
    // The active console session, or platform::sessions::kNoSession.
    virtual std::uint32_t activeConsoleSession() = 0;
    // Whether the desktop client holds "Global\VeltrixClientMutex".
    virtual bool clientMutexExists() = 0;

    // The logged-on user's token of a session; nullopt with `error` when there is none.
    virtual std::optional<AgentToken> userToken(std::uint32_t sessionId, int& error) = 0;
    // The elevated twin of a user token; nullopt when the user has none.
    virtual std::optional<AgentToken> linkedToken(const AgentToken& userToken) = 0;
    // The service's own token moved into a session; nullopt with `error`.
    virtual std::optional<AgentToken> serviceTokenInSession(std::uint32_t sessionId, int& error) = 0;

    // Starts the client program as `kind` with `token` ("with token" selects the second way of
    // starting, CreateProcessWithToken on the original system).
    virtual ProcessLaunch createProcess(const AgentToken& token, AgentKind kind, bool withToken) = 0;
    virtual bool isRunning(const platform::agents::LaunchedProcess& process) = 0;
    virtual void terminate(const platform::agents::LaunchedProcess& process, int waitMs) = 0;
};

}  // namespace veltrix::service
