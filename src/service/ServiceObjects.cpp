#include "service/ServiceObjects.h"

#include <spdlog/spdlog.h>

#include "core/ApiClient.h"
#include "core/AuthController.h"
#include "core/HeartbeatService.h"
#include "core/SessionManager.h"
#include "core/SettingsController.h"
#include "service/ServiceIpcServer.h"
#include "service/SessionAdmission.h"
#include "transport/SignalingClient.h"

namespace veltrix {

ServiceObjects::ServiceObjects(Mode mode) : mode_(mode) {}

ServiceObjects::~ServiceObjects() {
    // Reverse order of construction: the pipe server first (its destructor stops it), the
    // settings controller last.
    for (auto it = built_.rbegin(); it != built_.rend(); ++it) delete *it;
}

void ServiceObjects::buildSettingsController() {
    settings_ = keep(new SettingsController);
    if (mode_ == Mode::Service) spdlog::info("Server URL: {}", settings_->serverUrl().toString().toStdString());
}

void ServiceObjects::buildApiClient() { apiClient_ = keep(new ApiClient(settings_->serverUrl())); }

void ServiceObjects::buildSignalingClient() { signalingClient_ = keep(new SignalingClient); }

void ServiceObjects::buildHeartbeatService() { heartbeat_ = keep(new HeartbeatService(*apiClient_)); }

void ServiceObjects::buildAuthController() {
    auth_ = keep(new AuthController(*apiClient_, *signalingClient_, *heartbeat_, *settings_));
}

void ServiceObjects::buildSessionManager() {
    sessionManager_ = keep(new SessionManager(apiClient_, signalingClient_));
    sessionManager_->setHeartbeatService(heartbeat_);
}

void ServiceObjects::wireSessionPasswords() {
    if (!auth_ || !sessionManager_) return;
    AuthController* auth = auth_;
    SessionManager* session = sessionManager_;
    const auto update = [auth, session] { session->setSessionPasswords(auth->securePassword(), auth->ephemeralPassword()); };
    QObject::connect(auth, &AuthController::ephemeralPasswordChanged, session, update);
    QObject::connect(auth, &AuthController::securePasswordChanged, session, update);
    update();
}

void ServiceObjects::applyClipboardSetting() {
    if (sessionManager_ && settings_) sessionManager_->setClipboardSharingEnabled(settings_->clipboardSharingEnabled());
}

void ServiceObjects::wireRelayCandidates() {
    if (auth_ && sessionManager_) {
        QObject::connect(auth_, &AuthController::authenticated, sessionManager_, &SessionManager::fetchRelayCandidates);
    }
}

void ServiceObjects::buildSessionAdmission(service::AgentSupervisor& agents) {
    if (!signalingClient_ || !sessionManager_) return;
    SessionManager* session = sessionManager_;
    ApiClient* api = apiClient_;
    const SettingsController* settings = settings_;
    admission_ = std::make_unique<service::SessionAdmission>(
        agents, [settings] { return settings && settings->unattendedAccessEnabled(); },
        [session](const QString& sessionId, const QString& masterClientId, const QString& masterEcdhPublicKey,
                  const QString& relayToken, const QString& masterSpake2Element) {
            session->acceptHandshakeRequest(sessionId, masterClientId, masterEcdhPublicKey, relayToken,
                                            masterSpake2Element);
        },
        [api](const QString& sessionId, const QString& reason) {
            if (api) api->closeSession(sessionId, reason, 0);
        });

    service::SessionAdmission* admission = admission_.get();
    if (mode_ == Mode::Console) {
        QObject::connect(signalingClient_, &SignalingClient::sessionAutoAccept, session,
                         [admission](const QString& sessionId, const QString& masterClientId,
                                     const QString& masterEcdhPublicKey, const QString& relayToken,
                                     const QString& masterSpake2Element) {
                             admission->onConsoleSessionRequest(sessionId, masterClientId, masterEcdhPublicKey,
                                                                relayToken, masterSpake2Element);
                         });
        return;
    }
    QObject::connect(signalingClient_, &SignalingClient::sessionAutoAccept, session,
                     [admission](const QString& sessionId, const QString& masterClientId,
                                 const QString& masterEcdhPublicKey, const QString& relayToken,
                                 const QString& masterSpake2Element) {
                         admission->onSessionAutoAccept(sessionId, masterClientId, masterEcdhPublicKey, relayToken,
                                                        masterSpake2Element);
                     });
    QObject::connect(signalingClient_, &SignalingClient::sessionHandshakeRequest, session,
                     [admission](const QString& sessionId, const QString& masterClientId, const QString& purpose) {
                         admission->onSessionHandshakeRequest(sessionId, masterClientId, purpose);
                     });
}

void ServiceObjects::buildIpcServer() {
    ipcServer_ = keep(new ServiceIpcServer(auth_, sessionManager_, settings_, apiClient_, signalingClient_));
    if (auth_) {
        // The agent learns of every log-in (with the company name) and of every new pairing code,
        // which the controller renews on its own every few minutes.
        QObject::connect(auth_, &AuthController::authenticated, ipcServer_, &ServiceIpcServer::onServiceAuthenticated);
        QObject::connect(auth_, &AuthController::pairingHashChanged, ipcServer_, &ServiceIpcServer::sendState);
    }
    ipcServer_->start();
}

void ServiceObjects::startAuthentication() {
    if (auth_) auth_->tryAuthenticate();
}

void ServiceObjects::logout() {
    if (auth_) auth_->logout();
}

}  // namespace veltrix
