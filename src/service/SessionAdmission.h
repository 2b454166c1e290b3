#pragma once

#include <QString>

#include <functional>

#include "service/AgentSupervisor.h"

namespace veltrix::service {

// Whether an incoming session request is taken, and which agent is started for it.
//
// Service mode: with nobody logged in and unattended access off the request is declined
// ("unattended_access_disabled" to the backend); otherwise it is accepted, and unless the desktop
// client already runs (its mutex exists) a user-session agent is started in every active
// session, or the headless agent in the console session when nobody is logged in.
// Console mode accepts under the same condition but never starts an agent.
class SessionAdmission {
public:
    static constexpr const char* kDeclineReason = "unattended_access_disabled";

    enum class Launch { None, UserSessionAgents, HeadlessAgent };
    struct Decision {
        bool accept = false;
        Launch launch = Launch::None;
        bool operator==(const Decision&) const = default;
    };
    enum class Mode { Service, Console };

    static Decision decide(Mode mode, bool userLoggedIn, bool unattendedAccess, bool clientMutexExists);

    // Accepts a request: the session manager's acceptHandshakeRequest with (session id, master
    // client id, master ECDH public key, relay token, master SPAKE2 element).
    using Accept = std::function<void(const QString&, const QString&, const QString&, const QString&, const QString&)>;
    // Declines one: the backend's closeSession(session id, reason).
    using Decline = std::function<void(const QString&, const QString&)>;

    SessionAdmission(AgentSupervisor& agents, std::function<bool()> unattendedAccess, Accept accept,
                     Decline decline);

    void onSessionAutoAccept(const QString& sessionId, const QString& masterClientId, const QString& masterEcdhPublicKey,
                             const QString& relayToken, const QString& masterSpake2Element);
    void onSessionHandshakeRequest(const QString& sessionId, const QString& masterClientId, const QString& purpose);
    void onConsoleSessionRequest(const QString& sessionId, const QString& masterClientId,
                                 const QString& masterEcdhPublicKey, const QString& relayToken,
                                 const QString& masterSpake2Element);

private:
    bool userLoggedIn();
    void admit(const char* requestName, const QString& sessionId, const QString& masterClientId,
               const std::function<void()>& acceptRequest);

    AgentSupervisor& agents_;
    std::function<bool()> unattendedAccess_;
    Accept accept_;
    Decline decline_;
};

}  // namespace veltrix::service
