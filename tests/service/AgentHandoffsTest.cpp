// The agent hand-offs against a fake host and machine with short timings: lock, unlock and
// secure-desktop swaps with their guards, "already in flight", the replacement time-out that
// ends the session, time-outs that belong to their own hand-off, and session events that reach
// both receivers acting once.
#include <gtest/gtest.h>

#include <QMetaObject>
#include <QObject>

#include <chrono>
#include <memory>

#include "FakeAgentPlatform.h"
#include "service/AgentHandoffs.h"
#include "support/LogCapture.h"
#include "support/WaitUntil.h"

namespace veltrix::service {
namespace {

using namespace std::chrono_literals;
using platform::sessions::SessionEvent;
using platform::sessions::SessionNotification;

class FakeHost final : public IHandoffHost {
public:
    bool pipeServer = true, sessionManager = true, settings = true, unattended = true;
    bool handoffFlag = false, agentConnected = true;
    SessionState state = SessionState::Connected;
    SessionRole role = SessionRole::Target;
    int handoffsBegun = 0;
    std::vector<QString> endedWith;
    QObject context;

    bool hasPipeServer() override { return pipeServer; }
    bool hasSessionManager() override { return sessionManager; }
    bool hasSettings() override { return settings; }
    bool post(std::function<void()> work) override {
        return QMetaObject::invokeMethod(&context, std::move(work), Qt::QueuedConnection);
    }
    void beginAgentHandoff() override {
        ++handoffsBegun;
        handoffFlag = true;
        agentConnected = false;  // STOP_CAPTURE; the old agent goes
    }
    bool isAgentHandoffInProgress() override { return handoffFlag; }
    void clearAgentHandoff() override { handoffFlag = false; }
    bool isAgentConnected() override { return agentConnected; }
    SessionState sessionState() override { return state; }
    SessionRole sessionRole() override { return role; }
    void endSession(const QString& reason) override {
        endedWith.push_back(reason);
        state = SessionState::Idle;
    }
    bool unattendedAccessEnabled() override { return unattended; }

    void reset() {
        pipeServer = sessionManager = settings = unattended = true;
        handoffFlag = false;
        agentConnected = true;
        state = SessionState::Connected;
        role = SessionRole::Target;
        handoffsBegun = 0;
        endedWith.clear();
    }

    // The replacement agent connects: the pipe server clears its flag.
    void replacementConnects() {
        handoffFlag = false;
        agentConnected = true;
    }
};

class AgentHandoffsTest : public ::testing::Test {
protected:
    void SetUp() override {
        machine->sessionList = {session(3)};
        machine->console = 3;
        ASSERT_TRUE(agents.launchAgentInUserSession(3));  // the user-session agent of session 3
        machine->launches.clear();
    }
    static platform::sessions::TerminalSession session(std::uint32_t id) {
        platform::sessions::TerminalSession s;
        s.id = id;
        s.uid = 1000;
        s.state = platform::sessions::ConnectState::Active;
        s.console = true;
        return s;
    }
    bool launched(AgentKind kind, std::size_t count = 1) {
        return test::waitUntil([&] {
            return std::count_if(machine->launches.begin(), machine->launches.end(),
                                 [&](const auto& l) { return l.kind == kind; }) == static_cast<long>(count);
        }, 2s);
    }

    std::shared_ptr<test::FakeAgentPlatform> machine = std::make_shared<test::FakeAgentPlatform>();
    AgentSupervisor agents{machine};
    FakeHost host;
    AgentHandoffs::Timing timing{20, 0, 150, 20};
    AgentHandoffs handoffs{host, agents, timing};
    test::LogCapture logs;
};

TEST_F(AgentHandoffsTest, LockSwapsToTheHeadlessAgentAndUnlockSwapsBack) {
    const pid_t userAgent = agents.userAgent()->pid;
    handoffs.sessionLockHandoff(3);
    handoffs.sessionLockHandoff(3);  // within the first second
    ASSERT_TRUE(launched(AgentKind::Headless));
    EXPECT_TRUE(logs.contains("SessionLockHandoff: locked=3, activeConsole=3, target=3"));
    EXPECT_TRUE(logs.contains("SessionLockHandoff: UAC handoff already in flight, skipping"));
    EXPECT_EQ(machine->terminated, std::vector<pid_t>{userAgent});
    EXPECT_EQ(host.handoffsBegun, 1);
    ASSERT_TRUE(test::waitUntil([&] { return !handoffs.handoffInFlight(); }, 2s));
    host.replacementConnects();

    handoffs.sessionUnlockHandoff(3);
    ASSERT_TRUE(launched(AgentKind::UserSession));
    EXPECT_TRUE(logs.contains("SessionUnlockHandoff: unlocked session 3 — swapping headless helper back"));
    EXPECT_FALSE(agents.headlessAgent());
    host.replacementConnects();
    test::runEventsFor(250ms);  // past both time-outs: the replacements came, nothing ends
    EXPECT_TRUE(host.endedWith.empty());
}

TEST_F(AgentHandoffsTest, LockGuards) {
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::uint32_t session;
    };
    const std::vector<Case> cases{
        {"another session", [] {}, 4},
        {"not the target", [this] { host.role = SessionRole::Master; }, 3},
        {"not connected", [this] { host.state = SessionState::Handshaking; }, 3},
        {"no settings", [this] { host.settings = false; }, 3},
        {"unattended access off", [this] { host.unattended = false; }, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.reset();
        c.arrange();
        handoffs.sessionLockHandoff(c.session);
        test::runEventsFor(60ms);
        EXPECT_EQ(host.handoffsBegun, 0);
        EXPECT_TRUE(machine->launches.empty());
    }
    EXPECT_TRUE(logs.contains("SessionLockHandoff: lock on session 3 but unattended access OFF — letting session drop"));
}

TEST_F(AgentHandoffsTest, SecureDesktopTable) {
    struct Case {
        const char* oldName;
        const char* newName;
        bool headlessRunning;
        int handoffs;  // begun
    };
    for (const Case& c : {Case{"Default", "Winlogon", false, 1}, Case{"Winlogon", "Default", true, 1},
                          Case{"(none)", "Winlogon", true, 0}, Case{"(none)", "Winlogon", false, 1},
                          Case{"(none)", "Default", true, 1}, Case{"(none)", "Default", false, 0},
                          Case{"Default", "Default", false, 0}, Case{"winlogon", "Default", true, 0}}) {
        SCOPED_TRACE(std::string(c.oldName) + " -> " + c.newName);
        host.reset();
        if (c.headlessRunning && !agents.headlessAgentRunning()) agents.launchHeadlessAgentInSession(3);
        if (!c.headlessRunning) agents.terminateHeadlessAgent(0);
        handoffs.secureDesktopHandoff(c.newName, c.oldName);
        ASSERT_TRUE(test::waitUntil([&] { return !handoffs.handoffInFlight(); }, 2s));
        test::runEventsFor(40ms);
        EXPECT_EQ(host.handoffsBegun, c.handoffs);
    }
}

TEST_F(AgentHandoffsTest, SecondDesktopReportWithinTheSwapIsDropped) {
    handoffs.secureDesktopHandoff("Winlogon", "Default");
    handoffs.secureDesktopHandoff("Default", "Winlogon");
    EXPECT_TRUE(logs.contains("SecureDesktopHandoff: already in flight, ignoring Winlogon -> Default"));
    ASSERT_TRUE(launched(AgentKind::Headless));
    EXPECT_EQ(host.handoffsBegun, 1);
}

TEST_F(AgentHandoffsTest, AReplacementThatNeverConnectsEndsTheSession) {
    handoffs.secureDesktopHandoff("Winlogon", "Default");
    ASSERT_TRUE(test::waitUntil([&] { return !host.endedWith.empty(); }, 2s));
    EXPECT_EQ(host.endedWith, std::vector<QString>{"agent_disconnected"});
    EXPECT_FALSE(host.handoffFlag);
    EXPECT_TRUE(logs.contains("SecureDesktopHandoff: timed out waiting for replacement agent to connect"));
}

TEST_F(AgentHandoffsTest, AnEarlierTimeOutLeavesALaterHandoffAlone) {
    handoffs.secureDesktopHandoff("Winlogon", "Default");  // hand-off 1: time-out at about 170 ms
    ASSERT_TRUE(test::waitUntil([&] { return !handoffs.handoffInFlight(); }, 2s));
    host.replacementConnects();
    test::runEventsFor(60ms);
    handoffs.secureDesktopHandoff("Default", "Winlogon");  // hand-off 2, begun before 1's time-out
    ASSERT_TRUE(test::waitUntil([&] { return host.handoffsBegun == 2; }, 2s));
    // Hand-off 1's time-out passes: hand-off 2 still waits for its replacement.
    test::runEventsFor(120ms);
    EXPECT_TRUE(host.handoffFlag);
    EXPECT_TRUE(host.endedWith.empty());
    ASSERT_TRUE(test::waitUntil([&] { return !host.endedWith.empty(); }, 2s));
    EXPECT_EQ(logs.count("SecureDesktopHandoff: timed out waiting for replacement agent to connect"), 1u);
}

TEST_F(AgentHandoffsTest, EachSessionEventActsOnceThoughBothReceiversGetIt) {
    agents.launchHeadlessAgentInSession(3);
    machine->launches.clear();
    const SessionNotification logon{SessionEvent::Logon, 3};
    handoffs.onSessionEvent(logon, AgentHandoffs::Receiver::ControlHandler);
    handoffs.onSessionEvent(logon, AgentHandoffs::Receiver::WindowProcedure);
    EXPECT_TRUE(logs.contains("User logon detected (session 3)"));
    EXPECT_TRUE(logs.contains("WM_WTSSESSION_CHANGE: logon session 3"));
    ASSERT_TRUE(launched(AgentKind::UserSession));
    test::runEventsFor(80ms);
    EXPECT_EQ(machine->launches.size(), 1u);
    EXPECT_EQ(host.handoffsBegun, 1);
    EXPECT_FALSE(agents.headlessAgent());

    // A second logon later (window procedure first this time) acts again, once.
    agents.launchHeadlessAgentInSession(3);
    machine->launches.clear();
    handoffs.onSessionEvent(logon, AgentHandoffs::Receiver::WindowProcedure);
    handoffs.onSessionEvent(logon, AgentHandoffs::Receiver::ControlHandler);
    ASSERT_TRUE(launched(AgentKind::UserSession));
    test::runEventsFor(80ms);
    EXPECT_EQ(machine->launches.size(), 1u);

    const SessionNotification logoff{SessionEvent::Logoff, 3};
    handoffs.onSessionEvent(logoff, AgentHandoffs::Receiver::WindowProcedure);
    handoffs.onSessionEvent(logoff, AgentHandoffs::Receiver::ControlHandler);
    ASSERT_TRUE(test::waitUntil([&] { return !host.endedWith.empty(); }, 2s));
    EXPECT_EQ(host.endedWith.front(), "user_logoff");
}

TEST_F(AgentHandoffsTest, AgentDisconnectEndsARunningSession) {
    handoffs.onAgentDisconnected();
    EXPECT_EQ(host.endedWith, std::vector<QString>{"agent_disconnected"});
    handoffs.onAgentDisconnected();  // now Idle
    EXPECT_EQ(host.endedWith.size(), 1u);
}

}  // namespace
}  // namespace veltrix::service
