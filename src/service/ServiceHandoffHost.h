#pragma once

#include <functional>
#include <mutex>

#include "service/AgentHandoffs.h"
#include "service/IHandoffHost.h"

namespace veltrix::service {

// The hand-offs' view of the running service: the host's published pipe server, settings and
// Qt application. The session manager's part (state, role, ending a session) arrives through
// `setSessionHooks` from whoever builds the session manager; until then there is no session to
// guard or end, and the swaps that need none (secure desktop, logon) still run.
class ServiceHandoffHost final : public IHandoffHost {
public:
    struct SessionHooks {
        std::function<SessionState()> state;
        std::function<SessionRole()> role;
        std::function<void(const QString&)> endSession;
    };
    void setSessionHooks(SessionHooks hooks);

    bool hasPipeServer() override;
    bool hasSessionManager() override;
    bool hasSettings() override;
    bool post(std::function<void()> work) override;
    void beginAgentHandoff() override;
    bool isAgentHandoffInProgress() override;
    void clearAgentHandoff() override;
    bool isAgentConnected() override;
    SessionState sessionState() override;
    SessionRole sessionRole() override;
    void endSession(const QString& reason) override;
    bool unattendedAccessEnabled() override;

private:
    std::mutex hooksMutex_;
    SessionHooks hooks_;
};

// The service's hand-off host and hand-offs (created on first use, living on the Qt thread).
ServiceHandoffHost& serviceHandoffHost();
AgentHandoffs& systemAgentHandoffs();

}  // namespace veltrix::service
