#include "service/AgentSupervisor.h"

#include <spdlog/spdlog.h>

namespace veltrix::service {
namespace {

constexpr int kElevationRequired = IAgentPlatform::kErrorElevationRequired;

}  // namespace

AgentSupervisor::AgentSupervisor(std::shared_ptr<IAgentPlatform> platform) : platform_(std::move(platform)) {}

bool AgentSupervisor::launchAgentInUserSession(std::uint32_t sessionId) {
    int error = 0;
    const auto userToken = platform_->userToken(sessionId, error);
    if (!userToken) {
        spdlog::warn("WTSQueryUserToken failed for session {} (error {})", sessionId, error);
        return false;
    }
    const auto linked = platform_->linkedToken(*userToken);
    std::string label = "linked-token (CreateProcessAsUser)";

    ProcessLaunch result;
    bool lastWasB = false;
    if (linked) {
        spdlog::info("launchAgentInUserSession: [A] trying elevated linked token via CreateProcessAsUser (session {})",
                     sessionId);
        result = platform_->createProcess(*linked, AgentKind::UserSession, false);
        if (!result.ok && result.lastError == kElevationRequired) {
            spdlog::info("launchAgentInUserSession: [B] Strategy A hit ERROR_ELEVATION_REQUIRED (binary has uiAccess "
                         "manifest) — retrying CreateProcessAsUser with filtered user token");
            result = platform_->createProcess(*userToken, AgentKind::UserSession, false);
            label = "filtered + CreateProcessAsUser (uiAccess)";
            lastWasB = true;
        }
    } else {
        spdlog::info("launchAgentInUserSession: [B] no linked token (non-admin user) — launching with filtered token "
                     "via CreateProcessAsUser");
        result = platform_->createProcess(*userToken, AgentKind::UserSession, false);
        label = "filtered + CreateProcessAsUser (non-admin)";
        lastWasB = true;
    }
    if (!result.ok && lastWasB && result.lastError == kElevationRequired) {
        spdlog::info("launchAgentInUserSession: [C] Strategy B still hit ERROR_ELEVATION_REQUIRED — falling back to "
                     "CreateProcessWithTokenW (SeImpersonatePrivilege path)");
        result = platform_->createProcess(*userToken, AgentKind::UserSession, true);
        label = "filtered + CreateProcessWithToken (uiAccess service path)";
        if (!result.ok && result.lastError == kElevationRequired && linked) {
            spdlog::info("launchAgentInUserSession: [C+] last-resort CreateProcessWithTokenW with linked token");
            result = platform_->createProcess(*linked, AgentKind::UserSession, true);
            label = "linked + CreateProcessWithToken";
        }
    }

    if (!result.ok) {
        spdlog::warn("All launch strategies failed for '{}' (last error {})", platform_->agentProgram(), result.lastError);
        return false;
    }
    spdlog::info("Launched agent (PID {}) in session {} via {}", result.process.pid, sessionId, label);
    std::lock_guard lock(mutex_);
    // The agent recorded before is not terminated; only the record moves on.
    user_ = result.process;
    agentSessionId_ = sessionId;
    return true;
}

bool AgentSupervisor::launchAgentsInActiveSessions() {
    if (platform_->clientMutexExists()) {
        spdlog::debug("Agent already running, skipping launch");
        return true;
    }
    bool any = false;
    for (const auto& session : platform_->sessions()) {
        if (session.state != platform::sessions::ConnectState::Active) continue;
        spdlog::info("Launching agent in user session {}", session.id);
        any = launchAgentInUserSession(session.id) || any;
    }
    return any;
}

bool AgentSupervisor::launchHeadlessAgentInSession(std::int64_t sessionId) {
    std::uint32_t target = static_cast<std::uint32_t>(sessionId);
    if (sessionId < 0) {
        target = platform_->activeConsoleSession();
        if (target == platform::sessions::kNoSession) {
            spdlog::warn("launchHeadlessAgentInSession: no console session available");
            return false;
        }
    }
    int error = 0;
    const auto token = platform_->serviceTokenInSession(target, error);
    if (!token) {
        spdlog::warn("SetTokenInformation(TokenSessionId={}) failed (error {})", target, error);
        return false;
    }
    const ProcessLaunch result = platform_->createProcess(*token, AgentKind::Headless, false);
    if (!result.ok) {
        spdlog::warn("Failed to launch headless agent in session {} (error {})", target, result.lastError);
        return false;
    }
    spdlog::info("Launched headless SYSTEM agent (PID {}) in session {}", result.process.pid, target);
    std::lock_guard lock(mutex_);
    headless_ = result.process;
    headlessSessionId_ = target;
    return true;
}

bool AgentSupervisor::headlessAgentRunning() {
    const auto agent = headlessAgent();
    return agent && platform_->isRunning(*agent);
}

bool AgentSupervisor::userAgentRecorded() { return userAgent().has_value(); }

std::optional<platform::agents::LaunchedProcess> AgentSupervisor::headlessAgent() {
    std::lock_guard lock(mutex_);
    return headless_;
}

std::optional<platform::agents::LaunchedProcess> AgentSupervisor::userAgent() {
    std::lock_guard lock(mutex_);
    return user_;
}

std::uint32_t AgentSupervisor::agentSessionId() {
    std::lock_guard lock(mutex_);
    return agentSessionId_;
}

std::optional<LaunchedAgent> AgentSupervisor::launchedAgentOf(pid_t pid) {
    if (pid <= 0) return std::nullopt;
    std::optional<platform::agents::LaunchedProcess> user;
    std::optional<platform::agents::LaunchedProcess> headless;
    LaunchedAgent userAgent{0, false};
    LaunchedAgent headlessAgent{0, true};
    {
        std::lock_guard lock(mutex_);
        user = user_;
        headless = headless_;
        userAgent.sessionId = agentSessionId_;
        headlessAgent.sessionId = headlessSessionId_;
    }
    // A record whose process has ended names nobody, even when its id was given to another.
    if (user && user->pid == pid && platform_->isRunning(*user)) return userAgent;
    if (headless && headless->pid == pid && platform_->isRunning(*headless)) return headlessAgent;
    return std::nullopt;
}

void AgentSupervisor::terminateHeadlessAgent(int waitMs) {
    std::optional<platform::agents::LaunchedProcess> agent;
    {
        std::lock_guard lock(mutex_);
        agent.swap(headless_);
    }
    if (agent) platform_->terminate(*agent, waitMs);
}

void AgentSupervisor::terminateUserAgent(int waitMs) {
    std::optional<platform::agents::LaunchedProcess> agent;
    {
        std::lock_guard lock(mutex_);
        agent.swap(user_);
    }
    if (agent) platform_->terminate(*agent, waitMs);
}

}  // namespace veltrix::service
