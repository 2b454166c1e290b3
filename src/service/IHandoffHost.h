#pragma once

#include <QString>

#include <functional>

#include "shared/SessionTypes.h"

namespace veltrix::service {

// What the agent hand-offs consult and drive: the pipe server's hand-off, the session manager's
// state, the unattended-access setting and the Qt thread. Each "has" answers whether that object
// exists now (they go away at shutdown). Everything except `post` and the `has` queries is called
// on the Qt thread only.
class IHandoffHost {
public:
    virtual ~IHandoffHost() = default;

    virtual bool hasPipeServer() = 0;
    virtual bool hasSessionManager() = 0;
    virtual bool hasSettings() = 0;
    // Queues work for the Qt thread; false when no application runs. Any thread.
    virtual bool post(std::function<void()> work) = 0;

    // STOP_CAPTURE to the current agent and the pipe server's hand-off flag set.
    virtual void beginAgentHandoff() = 0;
    virtual bool isAgentHandoffInProgress() = 0;
    virtual void clearAgentHandoff() = 0;
    virtual bool isAgentConnected() = 0;

    virtual SessionState sessionState() = 0;
    virtual SessionRole sessionRole() = 0;
    virtual void endSession(const QString& reason) = 0;
    virtual bool unattendedAccessEnabled() = 0;
};

}  // namespace veltrix::service
