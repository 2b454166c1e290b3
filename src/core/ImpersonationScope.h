#pragma once

#include <QString>

#include <cstdint>
#include <optional>

#include "platform/Impersonation.h"

namespace veltrix {

// The session whose user is the interactive user while an agent is connected (0: none). The pipe
// server sets it when an agent connects and clears it when the agent goes; without it the
// interactive user is the user of the active console session.
void setAgentSessionId(std::uint32_t sessionId);
void clearAgentSessionId();
std::uint32_t agentSessionId();

// The interactive user's identity as access lists name it (the decimal uid), or empty when no
// user is logged on in the interactive session.
QString interactiveUserSid();

// Makes the calling thread act as the interactive user for as long as the scope lives, so that
// file-system access is checked against that user's rights. Other threads are not affected.
// `isImpersonating` tells whether it worked; the caller answers a failure itself. A failed revert
// ends the process: the thread would otherwise go on with the user's rights. Scopes nest: the end
// of an inner scope gives the thread back the outer scope's user. A thread started while a scope
// is open keeps the user's identity for its whole life, so start none inside one.
class ImpersonationScope {
public:
    ImpersonationScope();
    ~ImpersonationScope();
    ImpersonationScope(const ImpersonationScope&) = delete;
    ImpersonationScope& operator=(const ImpersonationScope&) = delete;

    bool isImpersonating() const { return impersonating_; }

    // Reverts early (for example right after a file was opened), so the rest runs as the service.
    void close();

private:
    bool impersonating_ = false;
    std::optional<platform::impersonation::UserToken> token_;
};

}  // namespace veltrix
