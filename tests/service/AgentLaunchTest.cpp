// The agent supervision against a fake machine: the launch ladder with its strategies and log
// lines, the launches in active sessions and in the console session, the records, and the
// admission of session requests in service and console mode.
#include <gtest/gtest.h>

#include <QStringList>

#include <algorithm>
#include <memory>

#include "FakeAgentPlatform.h"
#include "service/AgentSupervisor.h"
#include "service/SessionAdmission.h"
#include "support/LogCapture.h"

namespace veltrix::service {
namespace {

using platform::sessions::ConnectState;
using platform::sessions::TerminalSession;

constexpr int k740 = IAgentPlatform::kErrorElevationRequired;

TerminalSession session(std::uint32_t id, ConnectState state = ConnectState::Active) {
    TerminalSession s;
    s.id = id;
    s.uid = 1000 + id;
    s.state = state;
    s.console = true;
    return s;
}

class AgentLaunchTest : public ::testing::Test {
protected:
    std::shared_ptr<test::FakeAgentPlatform> machine = std::make_shared<test::FakeAgentPlatform>();
    AgentSupervisor agents{machine};
    test::LogCapture logs;
};

TEST_F(AgentLaunchTest, LaunchLadder) {
    struct Case {
        const char* name;
        bool administrator;
        std::deque<int> errors;
        // Each attempt: linked token?, with-token call?
        std::vector<std::pair<bool, bool>> attempts;
        bool launched;
        const char* label;  // "via ..." on success, the last log step otherwise
    };
    const std::vector<Case> cases{
        {"non-admin", false, {}, {{false, false}}, true, "via filtered + CreateProcessAsUser (non-admin)"},
        {"admin", true, {}, {{true, false}}, true, "via linked-token (CreateProcessAsUser)"},
        {"admin, uiAccess", true, {k740}, {{true, false}, {false, false}}, true,
         "via filtered + CreateProcessAsUser (uiAccess)"},
        {"admin, B still 740", true, {k740, k740}, {{true, false}, {false, false}, {false, true}}, true,
         "via filtered + CreateProcessWithToken (uiAccess service path)"},
        {"admin, C+", true, {k740, k740, k740}, {{true, false}, {false, false}, {false, true}, {true, true}}, true,
         "via linked + CreateProcessWithToken"},
        {"admin, all fail", true, {k740, k740, k740, k740},
         {{true, false}, {false, false}, {false, true}, {true, true}}, false, "(last error 740)"},
        {"non-admin, 740 then C", false, {k740}, {{false, false}, {false, true}}, true,
         "via filtered + CreateProcessWithToken (uiAccess service path)"},
        {"non-admin, 740 twice: no C+", false, {k740, k740}, {{false, false}, {false, true}}, false, "(last error 740)"},
        {"admin, other error ends it", true, {5}, {{true, false}}, false, "(last error 5)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine->sessionList = {session(3)};
        machine->administrator = c.administrator;
        machine->launchErrors = c.errors;
        machine->launches.clear();
        logs.clear();
        EXPECT_EQ(agents.launchAgentInUserSession(3), c.launched);
        ASSERT_EQ(machine->launches.size(), c.attempts.size());
        for (std::size_t i = 0; i < c.attempts.size(); ++i) {
            EXPECT_EQ(machine->launches[i].linked, c.attempts[i].first) << i;
            EXPECT_EQ(machine->launches[i].withToken, c.attempts[i].second) << i;
            EXPECT_EQ(machine->launches[i].kind, AgentKind::UserSession);
        }
        EXPECT_TRUE(logs.contains(c.label)) << ::testing::PrintToString(logs.lines());
        if (c.launched) {
            EXPECT_EQ(agents.agentSessionId(), 3u);
        } else {
            EXPECT_TRUE(logs.contains("All launch strategies failed for '/opt/veltrix/VeltrixClient'"));
        }
    }
}

TEST_F(AgentLaunchTest, NoUserTokenMeansNoLaunch) {
    EXPECT_FALSE(agents.launchAgentInUserSession(9));
    EXPECT_TRUE(logs.contains("WTSQueryUserToken failed for session 9 (error 1008)"));
    EXPECT_TRUE(machine->launches.empty());
}

TEST_F(AgentLaunchTest, ActiveSessionsAndTheConsoleSession) {
    machine->sessionList = {session(1), session(2, ConnectState::Disconnected), session(4)};
    EXPECT_TRUE(agents.launchAgentsInActiveSessions());
    ASSERT_EQ(machine->launches.size(), 2u);
    EXPECT_EQ(machine->launches[1].sessionId, 4u);
    EXPECT_EQ(agents.agentSessionId(), 4u);  // the later launch is recorded

    machine->clientMutex = true;
    machine->launches.clear();
    EXPECT_TRUE(agents.launchAgentsInActiveSessions());
    EXPECT_TRUE(machine->launches.empty());
    EXPECT_TRUE(logs.contains("Agent already running, skipping launch"));

    EXPECT_FALSE(agents.launchHeadlessAgentInSession(-1));
    EXPECT_TRUE(logs.contains("launchHeadlessAgentInSession: no console session available"));
    machine->console = 7;
    EXPECT_TRUE(agents.launchHeadlessAgentInSession(-1));
    ASSERT_EQ(machine->launches.size(), 1u);
    EXPECT_EQ(machine->launches[0].kind, AgentKind::Headless);
    EXPECT_EQ(machine->launches[0].sessionId, 7u);
    EXPECT_TRUE(agents.headlessAgentRunning());
    const pid_t headless = agents.headlessAgent()->pid;
    agents.terminateHeadlessAgent(0);
    EXPECT_FALSE(agents.headlessAgent());
    EXPECT_EQ(machine->terminated, std::vector<pid_t>{headless});
    agents.terminateHeadlessAgent(0);  // nothing recorded: nothing terminated
    EXPECT_EQ(machine->terminated.size(), 1u);
}

// The pipe server asks which recorded agent a connecting process is: only a record that still
// names a running process answers, with the session the agent was launched into.
TEST_F(AgentLaunchTest, ARunningRecordedAgentIsKnownByItsIdAndSession) {
    machine->sessionList = {session(3)};
    machine->console = 5;
    ASSERT_TRUE(agents.launchAgentInUserSession(3));
    ASSERT_TRUE(agents.launchHeadlessAgentInSession(-1));
    const pid_t user = agents.userAgent()->pid;
    const pid_t headless = agents.headlessAgent()->pid;
    EXPECT_EQ(agents.launchedAgentOf(user), (LaunchedAgent{3, false}));
    EXPECT_EQ(agents.launchedAgentOf(headless), (LaunchedAgent{5, true}));
    EXPECT_FALSE(agents.launchedAgentOf(4242));

    // An agent that ended names nobody, even if its id comes back.
    machine->running.clear();
    EXPECT_FALSE(agents.launchedAgentOf(user));
    EXPECT_FALSE(agents.launchedAgentOf(headless));
}

TEST(SessionAdmissionDecision, Table) {
    using Launch = SessionAdmission::Launch;
    using Mode = SessionAdmission::Mode;
    struct Case {
        Mode mode;
        bool user, unattended, mutex;
        SessionAdmission::Decision expected;
    };
    for (const Case& c : {
             Case{Mode::Service, false, false, false, {false, Launch::None}},
             Case{Mode::Service, false, false, true, {false, Launch::None}},
             Case{Mode::Service, false, true, false, {true, Launch::HeadlessAgent}},
             Case{Mode::Service, false, true, true, {true, Launch::None}},
             Case{Mode::Service, true, false, false, {true, Launch::UserSessionAgents}},
             Case{Mode::Service, true, true, false, {true, Launch::UserSessionAgents}},
             Case{Mode::Service, true, false, true, {true, Launch::None}},
             Case{Mode::Service, true, true, true, {true, Launch::None}},
             Case{Mode::Console, false, false, false, {false, Launch::None}},
             Case{Mode::Console, false, true, false, {true, Launch::None}},
             Case{Mode::Console, true, false, false, {true, Launch::None}},
             Case{Mode::Console, true, true, true, {true, Launch::None}},
         }) {
        EXPECT_EQ(SessionAdmission::decide(c.mode, c.user, c.unattended, c.mutex), c.expected)
            << int(c.mode) << c.user << c.unattended << c.mutex;
    }
}

TEST_F(AgentLaunchTest, AdmissionAcceptsDeclinesAndLaunches) {
    bool unattended = false;
    std::vector<QStringList> accepted;
    std::vector<QStringList> declined;
    SessionAdmission admission(
        agents, [&] { return unattended; },
        [&](const QString& a, const QString& b, const QString& c, const QString& d, const QString& e) {
            accepted.push_back({a, b, c, d, e});
        },
        [&](const QString& id, const QString& reason) { declined.push_back({id, reason}); });

    // Nobody logged in, unattended access off: declined, nothing launched.
    admission.onSessionHandshakeRequest("s1", "111222333", "remote_control");
    ASSERT_EQ(declined.size(), 1u);
    EXPECT_EQ(declined[0], (QStringList{"s1", "unattended_access_disabled"}));
    EXPECT_TRUE(logs.contains(
        "SESSION_HANDSHAKE_REQUEST for session s1 from 111222333 — no user logged in and unattended access OFF, declining"));
    EXPECT_TRUE(machine->launches.empty());

    // Unattended access on: accepted, the headless agent in the console session.
    unattended = true;
    machine->console = 2;
    admission.onSessionAutoAccept("s2", "111222333", "pub", "relay", "spake");
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(accepted[0], (QStringList{"s2", "111222333", "pub", "relay", "spake"}));
    EXPECT_TRUE(logs.contains("SESSION_AUTO_ACCEPT for session s2 from 111222333 — accepting"));
    ASSERT_EQ(machine->launches.size(), 1u);
    EXPECT_EQ(machine->launches[0].kind, AgentKind::Headless);

    // A user logged in: the handshake request is accepted with empty key texts and a user agent.
    machine->sessionList = {session(5)};
    admission.onSessionHandshakeRequest("s3", "444555666", "x");
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_EQ(accepted[1], (QStringList{"s3", "444555666", "", "", ""}));
    ASSERT_EQ(machine->launches.size(), 2u);
    EXPECT_EQ(machine->launches[1].kind, AgentKind::UserSession);

    // Console mode never launches; it declines like the service.
    machine->sessionList.clear();
    unattended = false;
    admission.onConsoleSessionRequest("s4", "777888999", "", "", "");
    EXPECT_TRUE(logs.contains("Console mode: declining session s4 from 777888999 — no user logged in and unattended access OFF"));
    unattended = true;
    admission.onConsoleSessionRequest("s5", "777888999", "k", "r", "e");
    EXPECT_EQ(accepted.size(), 3u);
    EXPECT_EQ(machine->launches.size(), 2u);
}

}  // namespace
}  // namespace veltrix::service
