#pragma once

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "service/IAgentPlatform.h"

namespace veltrix::test {

// A machine for the agent supervision: sessions, the client mutex and tokens as the test sets
// them; each launch takes the next queued result (default: success with the next pid) and is
// recorded.
class FakeAgentPlatform final : public service::IAgentPlatform {
public:
    struct LaunchCall {
        std::uint32_t sessionId;
        uid_t uid;
        service::AgentKind kind;
        bool withToken;
        bool linked;
    };

    std::vector<platform::sessions::TerminalSession> sessionList;
    std::uint32_t console = platform::sessions::kNoSession;
    bool clientMutex = false;
    bool administrator = false;  // the session user has a linked token
    std::deque<int> launchErrors;  // 0: success
    std::vector<LaunchCall> launches;
    std::vector<pid_t> terminated;
    std::vector<pid_t> running;
    pid_t nextPid = 1000;

    std::string agentProgram() override { return "/opt/veltrix/VeltrixClient"; }
    std::vector<platform::sessions::TerminalSession> sessions() override { return sessionList; }
    std::uint32_t activeConsoleSession() override { return console; }
    bool clientMutexExists() override { return clientMutex; }
    std::optional<service::AgentToken> userToken(std::uint32_t sessionId, int& error) override {
        for (const auto& s : sessionList) {
            if (s.id == sessionId && s.state == platform::sessions::ConnectState::Active) {
                service::AgentToken token;
                token.uid = s.uid;
                token.sessionId = sessionId;
                return token;
            }
        }
        error = 1008;
        return std::nullopt;
    }
    std::optional<service::AgentToken> linkedToken(const service::AgentToken& user) override {
        if (!administrator) return std::nullopt;
        service::AgentToken linked = user;
        linked.gid = 4242;  // marks the linked token in the records
        return linked;
    }
    std::optional<service::AgentToken> serviceTokenInSession(std::uint32_t sessionId, int&) override {
        service::AgentToken token;
        token.sessionId = sessionId;
        return token;
    }
    service::ProcessLaunch createProcess(const service::AgentToken& token, service::AgentKind kind,
                                         bool withToken) override {
        launches.push_back({token.sessionId, token.uid, kind, withToken, token.gid == 4242});
        service::ProcessLaunch result;
        const int error = launchErrors.empty() ? 0 : launchErrors.front();
        if (!launchErrors.empty()) launchErrors.pop_front();
        if (error != 0) {
            result.lastError = error;
            return result;
        }
        result.ok = true;
        result.process.pid = nextPid++;
        running.push_back(result.process.pid);
        return result;
    }
    bool isRunning(const platform::agents::LaunchedProcess& p) override {
        return std::find(running.begin(), running.end(), p.pid) != running.end();
    }
    void terminate(const platform::agents::LaunchedProcess& p, int) override {
        terminated.push_back(p.pid);
        running.erase(std::remove(running.begin(), running.end(), p.pid), running.end());
    }
};

}  // namespace veltrix::test
