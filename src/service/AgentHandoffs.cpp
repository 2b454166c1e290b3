#include "service/AgentHandoffs.h"

#include <QTimer>

#include <spdlog/spdlog.h>

namespace veltrix::service {
namespace {

namespace sessions = platform::sessions;
using sessions::SessionEvent;

constexpr const char* kSecureDesktop = "Winlogon";
constexpr const char* kDefaultDesktop = "Default";
constexpr const char* kNoDesktop = "(none)";

bool sessionActive(SessionState state) { return state != SessionState::Idle && state != SessionState::Failed; }

void logReceived(const sessions::SessionNotification& n, AgentHandoffs::Receiver receiver) {
    const bool control = receiver == AgentHandoffs::Receiver::ControlHandler;
    const std::uint32_t id = n.sessionId;
    switch (n.event) {
    case SessionEvent::RemoteDisconnect:
        if (control) spdlog::info("RDP disconnect detected (session {})", id);
        else spdlog::info("WM_WTSSESSION_CHANGE: remote disconnect session {}", id);
        break;
    case SessionEvent::Logon:
        if (control) spdlog::info("User logon detected (session {})", id);
        else spdlog::info("WM_WTSSESSION_CHANGE: logon session {}", id);
        break;
    case SessionEvent::Logoff:
        if (control) spdlog::info("User logoff detected (session {})", id);
        else spdlog::info("WM_WTSSESSION_CHANGE: logoff session {}", id);
        break;
    case SessionEvent::Lock:
        if (control) spdlog::info("Session lock detected (session {})", id);
        else spdlog::info("WM_WTSSESSION_CHANGE: lock session {}", id);
        break;
    case SessionEvent::Unlock:
        if (control) spdlog::info("Session unlock detected (session {})", id);
        else spdlog::info("WM_WTSSESSION_CHANGE: unlock session {}", id);
        break;
    default:
        break;
    }
}

}  // namespace

AgentHandoffs::AgentHandoffs(IHandoffHost& host, AgentSupervisor& agents, Timing timing, QObject* parent)
    : QObject(parent), host_(host), agents_(agents), timing_(timing) {}

// --- Session events ---------------------------------------------------------------------------

void AgentHandoffs::onSessionEvent(const sessions::SessionNotification& notification, Receiver receiver) {
    switch (notification.event) {
    case SessionEvent::RemoteDisconnect:
    case SessionEvent::Logon:
    case SessionEvent::Logoff:
    case SessionEvent::Lock:
    case SessionEvent::Unlock:
        break;
    default:
        return;  // other event types are ignored
    }
    logReceived(notification, receiver);
    if (isFirstCopy(notification, receiver)) handleEvent(notification);
}

bool AgentHandoffs::isFirstCopy(const sessions::SessionNotification& notification, Receiver receiver) {
    std::lock_guard lock(copiesMutex_);
    Copies& copies = copies_[{notification.sessionId, static_cast<std::uint32_t>(notification.event)}];
    std::uint64_t& mine = receiver == Receiver::ControlHandler ? copies.control : copies.window;
    const std::uint64_t other = receiver == Receiver::ControlHandler ? copies.window : copies.control;
    ++mine;
    return mine > other;
}

void AgentHandoffs::handleEvent(const sessions::SessionNotification& notification) {
    const std::uint32_t sessionId = notification.sessionId;
    switch (notification.event) {
    case SessionEvent::RemoteDisconnect:
        if (host_.hasPipeServer() && host_.isAgentConnected()) {
            spdlog::info("Agent still connected after RDP disconnect — session continues");
        } else if (host_.hasSessionManager()) {
            host_.post([this] { endActiveSession("desktop_unavailable"); });
        }
        break;
    case SessionEvent::Logon:
        if (agents_.headlessAgentRunning()) {
            if (!host_.hasPipeServer() || !host_.post([this, sessionId] { logonSwap(sessionId); })) {
                // Shutting down: nothing will swap, the headless agent goes now.
                agents_.terminateHeadlessAgent(0);
            }
        } else {
            host_.post([this, sessionId] {
                QTimer::singleShot(timing_.logonLaunchDelayMs, this, [this, sessionId] {
                    if (agents_.platform().clientMutexExists()) {
                        spdlog::info("Logon session {}: agent already running", sessionId);
                        return;
                    }
                    spdlog::info("Logon session {}: launching agent via CreateProcessAsUserW", sessionId);
                    agents_.launchAgentInUserSession(sessionId);
                });
            });
        }
        break;
    case SessionEvent::Logoff:
        if (host_.hasSessionManager()) host_.post([this] { endActiveSession("user_logoff"); });
        break;
    case SessionEvent::Lock:
        sessionLockHandoff(sessionId);
        break;
    case SessionEvent::Unlock:
        sessionUnlockHandoff(sessionId);
        break;
    default:
        break;
    }
}

void AgentHandoffs::endActiveSession(const char* reason) {
    if (host_.hasSessionManager() && sessionActive(host_.sessionState())) host_.endSession(reason);
}

void AgentHandoffs::logonSwap(std::uint32_t sessionId) {
    const std::uint64_t generation = nextGeneration_++;
    if (host_.hasPipeServer()) {
        host_.beginAgentHandoff();
        pipeHandoffGeneration_ = generation;
    }
    QTimer::singleShot(timing_.swapDelayMs, this, [this, sessionId, generation] {
        if (const auto headless = agents_.headlessAgent(); headless && agents_.headlessAgentRunning()) {
            spdlog::info("Force-killing headless agent (PID {})", headless->pid);
        }
        agents_.terminateHeadlessAgent(timing_.terminateWaitMs);
        agents_.launchAgentInUserSession(sessionId);
        scheduleTimeoutCheck(generation, "Agent handoff timed out");
    });
}

// --- Hand-offs --------------------------------------------------------------------------------

std::uint64_t AgentHandoffs::takeInFlight() {
    const std::uint64_t generation = nextGeneration_++;
    std::uint64_t expected = 0;
    return inFlight_.compare_exchange_strong(expected, generation) ? generation : 0;
}

void AgentHandoffs::releaseInFlight(std::uint64_t generation) {
    std::uint64_t expected = generation;
    inFlight_.compare_exchange_strong(expected, 0);
}

std::uint32_t AgentHandoffs::consoleOr(std::uint32_t fallback) {
    const std::uint32_t console = agents_.platform().activeConsoleSession();
    return console == sessions::kNoSession ? fallback : console;
}

void AgentHandoffs::runHandoff(std::uint64_t generation, std::function<void()> swap, const char* timeoutText) {
    if (!host_.hasPipeServer()) {
        releaseInFlight(generation);
        return;
    }
    host_.beginAgentHandoff();
    pipeHandoffGeneration_ = generation;
    QTimer::singleShot(timing_.swapDelayMs, this, [this, generation, swap = std::move(swap), timeoutText] {
        swap();
        releaseInFlight(generation);
        scheduleTimeoutCheck(generation, timeoutText);
    });
}

void AgentHandoffs::scheduleTimeoutCheck(std::uint64_t generation, const char* timeoutText) {
    QTimer::singleShot(timing_.replacementTimeoutMs, this, [this, generation, timeoutText] {
        // A later hand-off owns the pipe server's flag now: not this one's to clear.
        if (pipeHandoffGeneration_ != generation || !host_.hasPipeServer() || !host_.isAgentHandoffInProgress()) return;
        spdlog::warn("{}", timeoutText);
        host_.clearAgentHandoff();
        // No replacement came: a session left without an agent would show no picture forever.
        if (host_.hasSessionManager() && sessionActive(host_.sessionState()) && !host_.isAgentConnected()) {
            spdlog::info("Agent disconnected — ending active session");
            host_.endSession("agent_disconnected");
        }
    });
}

void AgentHandoffs::secureDesktopHandoff(const QString& newName, const QString& oldName) {
    if (!host_.hasPipeServer()) return;
    const bool headless = agents_.headlessAgentRunning();
    bool entering = newName == kSecureDesktop;
    bool leaving = oldName == kSecureDesktop && newName != kSecureDesktop;
    if (oldName == kNoDesktop) {
        // From no desktop only these two changes mean anything.
        entering = newName == kSecureDesktop && !headless;
        leaving = newName == kDefaultDesktop && headless;
    }
    if (!entering && !leaving) return;

    const std::uint64_t generation = takeInFlight();
    if (generation == 0) {
        spdlog::debug("SecureDesktopHandoff: already in flight, ignoring {} -> {}", oldName.toStdString(),
                      newName.toStdString());
        return;
    }
    spdlog::info("SecureDesktopHandoff: {} -> {} (entering={}, leaving={})", oldName.toStdString(),
                 newName.toStdString(), entering, leaving);
    auto swap = [this, entering] {
        if (entering) {
            if (const auto user = agents_.userAgent()) {
                spdlog::info("SecureDesktopHandoff: terminating user-session agent (PID {}) in session {}", user->pid,
                             agents_.agentSessionId());
                agents_.terminateUserAgent(timing_.terminateWaitMs);
            }
            const std::uint32_t recorded = agents_.agentSessionId();
            const std::uint32_t target = recorded != 0 ? recorded : agents_.platform().activeConsoleSession();
            // No session to go to: the launch reports that there is no console session.
            if (!agents_.launchHeadlessAgentInSession(target == sessions::kNoSession ? -1 : std::int64_t{target})) {
                spdlog::error("SecureDesktopHandoff: failed to launch headless agent in session {}", target);
            }
            return;
        }
        if (const auto headlessAgent = agents_.headlessAgent(); headlessAgent && agents_.headlessAgentRunning()) {
            spdlog::info("SecureDesktopHandoff: terminating headless agent (PID {})", headlessAgent->pid);
        }
        agents_.terminateHeadlessAgent(timing_.terminateWaitMs);
        const std::uint32_t recorded = agents_.agentSessionId();
        const std::uint32_t target = recorded != 0 ? recorded : agents_.platform().activeConsoleSession();
        if (target != sessions::kNoSession && !agents_.launchAgentInUserSession(target)) {
            spdlog::error("SecureDesktopHandoff: failed to launch user-session agent in session {}", target);
        }
    };
    if (!host_.post([this, generation, swap] {
            runHandoff(generation, swap, "SecureDesktopHandoff: timed out waiting for replacement agent to connect");
        })) {
        releaseInFlight(generation);
    }
}

void AgentHandoffs::sessionLockHandoff(std::uint32_t sessionId) {
    // The guards read the session manager, which belongs to the Qt thread: evaluated there.
    host_.post([this, sessionId] {
        if (!host_.hasPipeServer() || !host_.hasSessionManager() || !host_.hasSettings()) return;
        if (host_.sessionRole() != SessionRole::Target || host_.sessionState() != SessionState::Connected) return;
        if (sessionId != agents_.agentSessionId()) return;
        if (!host_.unattendedAccessEnabled()) {
            spdlog::info("SessionLockHandoff: lock on session {} but unattended access OFF — letting session drop",
                         sessionId);
            return;
        }
        const std::uint64_t generation = takeInFlight();
        if (generation == 0) {
            spdlog::debug("SessionLockHandoff: UAC handoff already in flight, skipping");
            return;
        }
        const std::uint32_t console = agents_.platform().activeConsoleSession();
        const std::uint32_t target = consoleOr(sessionId);
        spdlog::info("SessionLockHandoff: locked={}, activeConsole={}, target={}", sessionId, console, target);
        runHandoff(
            generation,
            [this, sessionId, target] {
                if (const auto user = agents_.userAgent()) {
                    spdlog::info("SessionLockHandoff: terminating user-session agent (PID {}) in session {}", user->pid,
                                 sessionId);
                    agents_.terminateUserAgent(timing_.terminateWaitMs);
                }
                if (!agents_.launchHeadlessAgentInSession(target)) {
                    spdlog::error("SessionLockHandoff: failed to launch headless agent in session {}", target);
                }
            },
            "SessionLockHandoff: timed out waiting for replacement agent to connect");
    });
}

void AgentHandoffs::sessionUnlockHandoff(std::uint32_t sessionId) {
    host_.post([this, sessionId] {
        if (!host_.hasPipeServer() || !host_.hasSessionManager()) return;
        if (!agents_.headlessAgentRunning() || sessionId != agents_.agentSessionId()) return;
        if (host_.sessionState() != SessionState::Connected) return;
        const std::uint64_t generation = takeInFlight();
        if (generation == 0) {
            spdlog::debug("SessionUnlockHandoff: UAC handoff already in flight, skipping");
            return;
        }
        spdlog::info("SessionUnlockHandoff: unlocked session {} — swapping headless helper back for a user-session agent",
                     sessionId);
        runHandoff(
            generation,
            [this, sessionId] {
                if (const auto headless = agents_.headlessAgent(); headless && agents_.headlessAgentRunning()) {
                    spdlog::info("SessionUnlockHandoff: terminating headless agent (PID {})", headless->pid);
                }
                agents_.terminateHeadlessAgent(timing_.terminateWaitMs);
                if (!agents_.launchAgentInUserSession(sessionId)) {
                    spdlog::error("SessionUnlockHandoff: failed to launch user-session agent in session {}", sessionId);
                }
            },
            "SessionUnlockHandoff: timed out waiting for replacement agent to connect");
    });
}

void AgentHandoffs::onAgentDisconnected() {
    if (!host_.hasSessionManager() || !sessionActive(host_.sessionState())) return;
    spdlog::info("Agent disconnected — ending active session");
    host_.endSession("agent_disconnected");
}

}  // namespace veltrix::service
