#include "service/ServiceObjects.h"

#include <spdlog/spdlog.h>

#include "core/ApiClient.h"
#include "core/AuthController.h"
#include "core/HeartbeatService.h"
#include "core/SettingsController.h"
#include "service/ServiceIpcServer.h"
#include "transport/SignalingClient.h"

namespace veltrix {

ServiceObjects::~ServiceObjects() {
    // Reverse order of construction: the pipe server first (its destructor stops it), the
    // settings controller last.
    for (auto it = built_.rbegin(); it != built_.rend(); ++it) delete *it;
}

// The steps below whose object is not part of the service yet leave its pointer null.

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

void ServiceObjects::buildSessionManager() {}

void ServiceObjects::wireSessionPasswords() {}

void ServiceObjects::applyClipboardSetting() {}

void ServiceObjects::wireRelayCandidates() {}

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
