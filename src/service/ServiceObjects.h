#pragma once

#include <QObject>

#include <memory>
#include <vector>

namespace veltrix::service {
class AgentSupervisor;
class SessionAdmission;
}  // namespace veltrix::service

namespace veltrix {

class ApiClient;
class AuthController;
class HeartbeatService;
class ServiceIpcServer;
class SessionManager;
class SettingsController;
class SignalingClient;

// The service's object graph, built once in this order: settings controller, REST client,
// signaling client, heartbeat service, authentication controller, session manager, pipe server;
// destroyed in reverse order. Each step is one call, so that the entry shows the order and each
// object joins the graph in its own place. A step whose object is not part of the service gives
// a null pointer, and the objects after it take that null.
class ServiceObjects {
public:
    enum class Mode {
        Service,  // started by the service manager
        Console,  // started from a console
    };

    explicit ServiceObjects(Mode mode);
    ~ServiceObjects();
    ServiceObjects(const ServiceObjects&) = delete;
    ServiceObjects& operator=(const ServiceObjects&) = delete;

    Mode mode() const { return mode_; }

    void buildSettingsController();
    // With the settings controller's server URL.
    void buildApiClient();
    void buildSignalingClient();
    // With the REST client.
    void buildHeartbeatService();
    // With the REST client, signaling client, heartbeat service and settings controller.
    void buildAuthController();
    // With the REST client and the signaling client; then given the heartbeat service.
    void buildSessionManager();

    // The session manager follows the authentication controller's ephemeral and secure passwords
    // (set once now, then on every change) and the clipboard setting.
    void wireSessionPasswords();
    void applyClipboardSetting();
    // Service mode: relay candidates are fetched after each log-in.
    void wireRelayCandidates();

    // The signaling client's session requests go through the admission: in service mode both
    // auto-accept and handshake requests (accepted ones may start an agent from `agents`), in
    // console mode auto-accept requests only, never starting an agent. Accepted requests reach
    // the session manager's acceptHandshakeRequest, declined ones the backend's closeSession.
    void buildSessionAdmission(service::AgentSupervisor& agents);

    // Builds the pipe server on the objects above and starts it.
    void buildIpcServer();

    void startAuthentication();
    void logout();

    SettingsController* settings() const { return settings_; }
    ApiClient* apiClient() const { return apiClient_; }
    SignalingClient* signalingClient() const { return signalingClient_; }
    HeartbeatService* heartbeat() const { return heartbeat_; }
    AuthController* auth() const { return auth_; }
    SessionManager* sessionManager() const { return sessionManager_; }
    ServiceIpcServer* ipcServer() const { return ipcServer_; }
    service::SessionAdmission* sessionAdmission() const { return admission_.get(); }

private:
    template <typename T>
    T* keep(T* object) {
        built_.push_back(object);
        return object;
    }

    Mode mode_;
    SettingsController* settings_ = nullptr;
    ApiClient* apiClient_ = nullptr;
    SignalingClient* signalingClient_ = nullptr;
    HeartbeatService* heartbeat_ = nullptr;
    AuthController* auth_ = nullptr;
    SessionManager* sessionManager_ = nullptr;
    ServiceIpcServer* ipcServer_ = nullptr;
    // Outlives the objects it calls: its connections end with the session manager.
    std::unique_ptr<service::SessionAdmission> admission_;
    // Everything built, in order of construction.
    std::vector<QObject*> built_;
};

}  // namespace veltrix
