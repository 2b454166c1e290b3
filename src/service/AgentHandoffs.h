#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <utility>
#include <cstdint>
#include <mutex>

#include "platform/SessionEvents.h"
#include "service/AgentSupervisor.h"
#include "service/IHandoffHost.h"

namespace veltrix::service {

// The swaps between the user-session agent and the headless agent: entering or leaving the
// secure desktop, locking or unlocking the controlled user's session, and a logon while the
// headless agent serves; and the session events that lead to them.
//
// Each swap stops the current agent's capture, waits `swapDelayMs`, ends the old agent, starts
// the new one and, `replacementTimeoutMs` later, checks whether the replacement connected. Every
// hand-off gets a generation number: a time-out belongs to its own hand-off only, so an earlier
// one never clears a later one's pipe flag, and the in-flight flag is released by the hand-off
// that holds it. A replacement that never connects ends a running session with
// "agent_disconnected" at the time-out instead of leaving it without video.
//
// Every session event reaches the service twice (control thread and Qt thread); `onSessionEvent`
// acts on each event once: the n-th event of a kind for a session is handled by whichever
// receiver sees its n-th copy first.
class AgentHandoffs : public QObject {
    Q_OBJECT
public:
    struct Timing {
        int swapDelayMs = 1000;
        int terminateWaitMs = 3000;
        int replacementTimeoutMs = 10000;
        int logonLaunchDelayMs = 2000;
    };
    enum class Receiver { ControlHandler, WindowProcedure };

    AgentHandoffs(IHandoffHost& host, AgentSupervisor& agents, Timing timing, QObject* parent = nullptr);

    // A session event from one of the two receivers (any thread).
    void onSessionEvent(const platform::sessions::SessionNotification& notification, Receiver receiver);

    // The agent's DESKTOP_CHANGED report (Qt thread).
    void secureDesktopHandoff(const QString& newName, const QString& oldName);
    // May run on the control thread: the guards are evaluated in the call posted to the Qt thread.
    void sessionLockHandoff(std::uint32_t sessionId);
    void sessionUnlockHandoff(std::uint32_t sessionId);
    // The pipe server's agentDisconnected (outside a hand-off).
    void onAgentDisconnected();

    bool handoffInFlight() const { return inFlight_.load() != 0; }

private:
    bool isFirstCopy(const platform::sessions::SessionNotification& notification, Receiver receiver);
    void handleEvent(const platform::sessions::SessionNotification& notification);
    void endActiveSession(const char* reason);
    void logonSwap(std::uint32_t sessionId);
    // Takes the in-flight flag for a new hand-off; 0 when one is in flight already.
    std::uint64_t takeInFlight();
    void releaseInFlight(std::uint64_t generation);
    // beginAgentHandoff, then `swap` after the swap delay, then the time-out check.
    void runHandoff(std::uint64_t generation, std::function<void()> swap, const char* timeoutText);
    void scheduleTimeoutCheck(std::uint64_t generation, const char* timeoutText);
    std::uint32_t consoleOr(std::uint32_t fallback);

    IHandoffHost& host_;
    AgentSupervisor& agents_;
    Timing timing_;
    // 0: free; otherwise the generation of the hand-off that holds it.
    std::atomic<std::uint64_t> inFlight_{0};
    std::atomic<std::uint64_t> nextGeneration_{1};
    // The generation of the last hand-off that set the pipe server's flag.
    std::uint64_t pipeHandoffGeneration_ = 0;

    std::mutex copiesMutex_;
    struct Copies {
        std::uint64_t control = 0;
        std::uint64_t window = 0;
    };
    std::map<std::pair<std::uint32_t, std::uint32_t>, Copies> copies_;
};

}  // namespace veltrix::service
