#include "service/ServiceObjects.h"

#include "core/SettingsController.h"
#include "service/ServiceIpcServer.h"

namespace veltrix {

ServiceObjects::~ServiceObjects() {
    // Reverse order of construction: the pipe server first (its destructor stops it), the
    // settings controller last.
    for (auto it = built_.rbegin(); it != built_.rend(); ++it) delete *it;
}

// The steps below whose object is not part of the service yet leave its pointer null.

void ServiceObjects::buildSettingsController() { settings_ = keep(new SettingsController); }

void ServiceObjects::buildApiClient() {}

void ServiceObjects::buildSignalingClient() {}

void ServiceObjects::buildHeartbeatService() {}

void ServiceObjects::buildAuthController() {}

void ServiceObjects::buildSessionManager() {}

void ServiceObjects::wireSessionPasswords() {}

void ServiceObjects::applyClipboardSetting() {}

void ServiceObjects::wireRelayCandidates() {}

void ServiceObjects::buildIpcServer() {
    ipcServer_ = keep(new ServiceIpcServer(auth_, sessionManager_, settings_, apiClient_, signalingClient_));
    ipcServer_->start();
}

void ServiceObjects::startAuthentication() {}

void ServiceObjects::logout() {}

}  // namespace veltrix
