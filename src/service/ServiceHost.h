#pragma once

#include <QCoreApplication>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "platform/SessionEvents.h"
#include "service/ServiceStatusReporter.h"

namespace veltrix {
class ApiClient;
class ServiceIpcServer;
class SessionManager;
class SettingsController;
}  // namespace veltrix

// What the service host shares between its entry on the Qt thread, the control handler on the
// service manager's control thread and the reactions to session events: the status record, the
// Qt application while it runs, and the objects those reactions consult. One per process.
namespace veltrix::service {

class ServiceHost {
public:
    static ServiceHost& instance();

    ServiceStatusReporter& status() { return status_; }

    // The Qt application, published once it exists and withdrawn before it is destroyed.
    void publishApplication(QCoreApplication* application);
    void withdrawApplication();
    bool hasApplication() const;

    // Queues `work` to run on the Qt thread; false (and nothing runs) when no application is
    // published. Safe from any thread: the application cannot be withdrawn while a post is under
    // way, so a post never reaches a destroyed application.
    bool postToQtThread(std::function<void()> work);

    // The objects consulted from outside the Qt thread; null before they exist and from the
    // start of shutdown on.
    std::atomic<SessionManager*> sessionManager{nullptr};
    std::atomic<ServiceIpcServer*> ipcServer{nullptr};
    std::atomic<SettingsController*> settings{nullptr};
    void clearObjectPointers();

private:
    ServiceHost() = default;

    ServiceStatusReporter status_;
    mutable std::mutex applicationMutex_;
    QCoreApplication* application_ = nullptr;
};

// The service control handler (control thread): stop and shutdown report STOP_PENDING and quit
// the event loop; session changes go to onSessionChangeControl; every other control, and a
// session change after its work, reports the current state again. Always 0.
std::uint32_t serviceControlHandler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                                    void* context);

// A session event as the control handler receives it (control thread).
void onSessionChangeControl(const platform::sessions::SessionNotification& notification);

// A session event as the session-notification receiver on the Qt thread gets it.
void onSessionNotification(const platform::sessions::SessionNotification& notification);

}  // namespace veltrix::service

namespace veltrix::service {

// The agent supervision of the service host: starting the client program as the agent of a user
// session, and letting go of the agents at shutdown.
bool launchAgentInUserSession(std::uint32_t sessionId);
void releaseAgentsAtShutdown();

// The pipe server's connected agent went away outside a hand-off. Given the session manager
// itself rather than the host's published pointer, which shutdown withdraws before it stops the
// pipe server: the agent's disconnect during shutdown must still end the session.
void onAgentDisconnected(SessionManager* sessionManager);

// The agent reported a switch of the input desktop (the secure desktop came or went).
void onAgentDesktopChanged(const QString& newName, const QString& oldName);

}  // namespace veltrix::service
