#include "core/ImpersonationScope.h"

#include <atomic>
#include <cstdlib>

#include <spdlog/spdlog.h>

#include "platform/TerminalSessions.h"

namespace veltrix {
namespace {

std::atomic<std::uint32_t> agentSession{0};

// The agent's session while one is connected, else the active console session.
std::uint32_t interactiveSession() {
    const std::uint32_t agent = agentSession.load();
    return agent != 0 ? agent : platform::sessions::activeConsoleSessionId();
}

}  // namespace

void setAgentSessionId(std::uint32_t sessionId) { agentSession.store(sessionId); }

void clearAgentSessionId() { agentSession.store(0); }

std::uint32_t agentSessionId() { return agentSession.load(); }

QString interactiveUserSid() {
    const std::uint32_t session = interactiveSession();
    if (session == platform::sessions::kNoSession) return {};
    platform::SystemError error;
    const auto token = platform::impersonation::queryUserToken(session, error);
    if (!token) return {};
    return QString::fromStdString(platform::impersonation::userIdText(*token));
}

ImpersonationScope::ImpersonationScope() {
    const std::uint32_t session = interactiveSession();
    if (session == platform::sessions::kNoSession) {
        spdlog::warn("Impersonation: no active console session");
        return;
    }
    platform::SystemError error;
    token_ = platform::impersonation::queryUserToken(session, error);
    if (!token_) {
        spdlog::warn("Impersonation: WTSQueryUserToken(session {}) failed (err {})", session, error.code);
        return;
    }
    if (!platform::impersonation::impersonateLoggedOnUser(*token_, error)) {
        spdlog::error("Impersonation: ImpersonateLoggedOnUser failed (err {})", error.code);
        token_.reset();
        return;
    }
    impersonating_ = true;
}

ImpersonationScope::~ImpersonationScope() { close(); }

void ImpersonationScope::close() {
    if (impersonating_) {
        platform::SystemError error;
        if (!platform::impersonation::revertToSelf(error)) {
            spdlog::critical("Impersonation: RevertToSelf failed (err {}) — aborting", error.code);
            spdlog::default_logger()->flush();
            std::abort();
        }
        impersonating_ = false;
    }
    token_.reset();
}

}  // namespace veltrix
