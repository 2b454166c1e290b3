#include "service/ServiceHost.h"

#include <QMetaObject>

#include <spdlog/spdlog.h>

#include "core/ApiClient.h"
#include "core/SessionManager.h"
#include "core/SettingsController.h"
#include "platform/ServiceManager.h"
#include "service/ServiceHandoffHost.h"
#include "service/SystemAgentPlatform.h"
#include "platform/TerminalSessions.h"

namespace veltrix::service {

namespace sm = platform::service;

ServiceHost& ServiceHost::instance() {
    static ServiceHost host;
    return host;
}

void ServiceHost::publishApplication(QCoreApplication* application) {
    std::lock_guard lock(applicationMutex_);
    application_ = application;
}

void ServiceHost::withdrawApplication() {
    std::lock_guard lock(applicationMutex_);
    application_ = nullptr;
}

bool ServiceHost::hasApplication() const {
    std::lock_guard lock(applicationMutex_);
    return application_ != nullptr;
}

bool ServiceHost::postToQtThread(std::function<void()> work) {
    std::lock_guard lock(applicationMutex_);
    if (!application_) return false;
    return QMetaObject::invokeMethod(application_, std::move(work), Qt::QueuedConnection);
}

void ServiceHost::clearObjectPointers() {
    sessionManager.store(nullptr);
    ipcServer.store(nullptr);
    settings.store(nullptr);
}

std::uint32_t serviceControlHandler(std::uint32_t control, std::uint32_t /*eventType*/, void* eventData,
                                    void* /*context*/) {
    ServiceHost& host = ServiceHost::instance();
    switch (control) {
    case sm::kControlStop:
    case sm::kControlShutdown:
        spdlog::info("Service stop/shutdown requested");
        host.status().reportStopPending();
        host.postToQtThread([] { QCoreApplication::quit(); });
        return 0;
    case sm::kControlSessionChange:
        if (eventData) onSessionChangeControl(*static_cast<const platform::sessions::SessionNotification*>(eventData));
        break;
    default:
        break;
    }
    host.status().reportCurrentAgain();
    return 0;
}

// Logon, logoff, lock, unlock and disconnects decide which agent serves the user. Both receivers
// hand the event on; the hand-offs act on each event once.
void onSessionChangeControl(const platform::sessions::SessionNotification& notification) {
    systemAgentHandoffs().onSessionEvent(notification, AgentHandoffs::Receiver::ControlHandler);
}

void onSessionNotification(const platform::sessions::SessionNotification& notification) {
    systemAgentHandoffs().onSessionEvent(notification, AgentHandoffs::Receiver::WindowProcedure);
}

}  // namespace veltrix::service

namespace veltrix::service {

bool launchAgentInUserSession(std::uint32_t sessionId) {
    return systemAgentSupervisor().launchAgentInUserSession(sessionId);
}

// The headless agent runs under the service's account and ends with it; a user-session agent
// belongs to its user and keeps running.
void releaseAgentsAtShutdown() {
    AgentSupervisor& agents = systemAgentSupervisor();
    if (agents.headlessAgent()) agents.terminateHeadlessAgent(0);
}

// Entering or leaving the secure desktop swaps the agent.
void onAgentDesktopChanged(const QString& newName, const QString& oldName) {
    systemAgentHandoffs().secureDesktopHandoff(newName, oldName);
}

void onAgentDisconnected(SessionManager* sessionManager) {
    // Without a session manager there is no session to end.
    if (!sessionManager) return;
    if (ServiceHost::instance().sessionManager.load()) {
        systemAgentHandoffs().onAgentDisconnected();
        return;
    }
    // Shutdown has withdrawn the published pointer, so the hand-offs see no session; the
    // session still ends before anything is destroyed.
    const SessionState state = sessionManager->state();
    if (state != SessionState::Idle && state != SessionState::Failed) {
        spdlog::info("Agent disconnected — ending active session");
        sessionManager->endSession(QStringLiteral("agent_disconnected"));
    }
}

}  // namespace veltrix::service
