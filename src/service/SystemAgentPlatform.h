#pragma once

#include "service/AgentSupervisor.h"
#include "service/IAgentPlatform.h"

namespace veltrix::service {

// The machine as the agent supervision sees it: the session stand-in, the client mutex, accounts
// as tokens and fork/exec launches of the client program beside the service's own program.
// A user's token carries the account's uid, gid and groups; an administrator's linked token is
// the same account (Linux has no split token). The headless agent keeps the service's account.
// Every agent gets the session's X display and authority file, its session id and the
// instance root.
class SystemAgentPlatform final : public IAgentPlatform {
public:
    static constexpr const char* kClientMutexName = "Global\\VeltrixClientMutex";

    std::string agentProgram() override;
    std::vector<platform::sessions::TerminalSession> sessions() override;
    std::uint32_t activeConsoleSession() override;
    bool clientMutexExists() override;
    std::optional<AgentToken> userToken(std::uint32_t sessionId, int& error) override;
    std::optional<AgentToken> linkedToken(const AgentToken& userToken) override;
    std::optional<AgentToken> serviceTokenInSession(std::uint32_t sessionId, int& error) override;
    ProcessLaunch createProcess(const AgentToken& token, AgentKind kind, bool withToken) override;
    bool isRunning(const platform::agents::LaunchedProcess& process) override;
    void terminate(const platform::agents::LaunchedProcess& process, int waitMs) override;
};

// The service's one agent supervision over the real machine.
AgentSupervisor& systemAgentSupervisor();

}  // namespace veltrix::service
