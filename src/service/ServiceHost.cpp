#include "service/ServiceHost.h"

#include <QMetaObject>

#include <spdlog/spdlog.h>

#include "platform/ServiceManager.h"
#include "service/SystemAgentPlatform.h"

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

// Logon, logoff, lock, unlock and disconnects decide which agent serves the user; until that
// supervision is part of the service the events are only noted.
void onSessionChangeControl(const platform::sessions::SessionNotification& notification) {
    spdlog::debug("Session change control: {} (session {})", platform::sessions::sessionEventName(notification.event),
                  notification.sessionId);
}

void onSessionNotification(const platform::sessions::SessionNotification& notification) {
    spdlog::debug("Session notification: {} (session {})", platform::sessions::sessionEventName(notification.event),
                  notification.sessionId);
}

}  // namespace veltrix::service

namespace veltrix::service {

bool launchAgentInUserSession(std::uint32_t sessionId) {
    return systemAgentSupervisor().launchAgentInUserSession(sessionId);
}

void releaseAgentsAtShutdown() {}

// Which agent serves which desktop is decided by the agent supervision; until it is part of the
// service the change is only noted.
void onAgentDesktopChanged(const QString& newName, const QString& oldName) {
    spdlog::info("Agent desktop changed: '{}' -> '{}'", oldName.toStdString(), newName.toStdString());
}

void onAgentDisconnected(SessionManager* sessionManager) {
    // Without a session manager there is no session to end.
    if (!sessionManager) return;
}

}  // namespace veltrix::service
