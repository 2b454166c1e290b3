#include "service/SessionAdmission.h"

#include <spdlog/spdlog.h>

#include "shared/Logging.h"

namespace veltrix::service {

SessionAdmission::Decision SessionAdmission::decide(Mode mode, bool userLoggedIn, bool unattendedAccess,
                                                    bool clientMutexExists) {
    if (!userLoggedIn && !unattendedAccess) return {false, Launch::None};
    // Console mode has no sessions to start agents in; a running client is or will be the agent.
    if (mode == Mode::Console || clientMutexExists) return {true, Launch::None};
    return {true, userLoggedIn ? Launch::UserSessionAgents : Launch::HeadlessAgent};
}

SessionAdmission::SessionAdmission(AgentSupervisor& agents, std::function<bool()> unattendedAccess,
                                   Accept accept, Decline decline)
    : agents_(agents),
      unattendedAccess_(std::move(unattendedAccess)),
      accept_(std::move(accept)),
      decline_(std::move(decline)) {}

bool SessionAdmission::userLoggedIn() {
    for (const auto& session : agents_.platform().sessions()) {
        if (session.state == platform::sessions::ConnectState::Active) return true;
    }
    return false;
}

void SessionAdmission::onSessionAutoAccept(const QString& sessionId, const QString& masterClientId,
                                           const QString& masterEcdhPublicKey, const QString& relayToken,
                                           const QString& masterSpake2Element) {
    admit("SESSION_AUTO_ACCEPT", sessionId, masterClientId,
          [&] { accept_(sessionId, masterClientId, masterEcdhPublicKey, relayToken, masterSpake2Element); });
}

void SessionAdmission::onSessionHandshakeRequest(const QString& sessionId, const QString& masterClientId,
                                                 const QString& /*purpose*/) {
    admit("SESSION_HANDSHAKE_REQUEST", sessionId, masterClientId,
          [&] { accept_(sessionId, masterClientId, QString(), QString(), QString()); });
}

void SessionAdmission::admit(const char* requestName, const QString& sessionId, const QString& masterClientId,
                             const std::function<void()>& acceptRequest) {
    const bool loggedIn = userLoggedIn();
    const Decision decision = decide(Mode::Service, loggedIn, unattendedAccess_(), agents_.platform().clientMutexExists());
    if (!decision.accept) {
        spdlog::info("{} for session {} from {} — no user logged in and unattended access OFF, declining", requestName,
                     logging::peerText(sessionId), logging::peerText(masterClientId));
        decline_(sessionId, kDeclineReason);
        return;
    }
    spdlog::info("{} for session {} from {} — accepting", requestName, logging::peerText(sessionId),
                 logging::peerText(masterClientId));
    acceptRequest();
    switch (decision.launch) {
    case Launch::UserSessionAgents:
        agents_.launchAgentsInActiveSessions();
        break;
    case Launch::HeadlessAgent:
        agents_.launchHeadlessAgentInSession(-1);
        break;
    case Launch::None:
        break;
    }
}

void SessionAdmission::onConsoleSessionRequest(const QString& sessionId, const QString& masterClientId,
                                               const QString& masterEcdhPublicKey, const QString& relayToken,
                                               const QString& masterSpake2Element) {
    if (decide(Mode::Console, userLoggedIn(), unattendedAccess_(), false).accept) {
        accept_(sessionId, masterClientId, masterEcdhPublicKey, relayToken, masterSpake2Element);
        return;
    }
    spdlog::info("Console mode: declining session {} from {} — no user logged in and unattended access OFF",
                 logging::peerText(sessionId), logging::peerText(masterClientId));
    decline_(sessionId, kDeclineReason);
}

}  // namespace veltrix::service
