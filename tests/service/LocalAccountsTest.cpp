// What another local account can do to the service through the pipe, tried as that account
// ("nobody", a user with a terminal session): name a session that is not its own, report desktop
// changes it has no business reporting, flood the service with commands, and take or block
// another user's client lock.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "PipeServerFixture.h"
#include "core/ImpersonationScope.h"
#include "platform/InstancePaths.h"
#include "platform/NamedMutex.h"
#include "service/PipeClientSession.h"
#include "service/SystemAgentPlatform.h"
#include "support/SessionsFile.h"
#include "support/UnprivilegedChild.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using platform::sessions::ConnectState;
using platform::sessions::TerminalSession;
using test::UnprivilegedChild;

constexpr uid_t kNobody = UnprivilegedChild::kNobody;
constexpr const char* kClientMutexName = "Global\\VeltrixClientMutex";

// A flag two processes share across fork.
class SharedFlag {
public:
    SharedFlag()
        : flag_(static_cast<std::atomic<bool>*>(
              mmap(nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))) {
        new (flag_) std::atomic<bool>(false);
    }
    ~SharedFlag() { munmap(flag_, sizeof(std::atomic<bool>)); }
    SharedFlag(const SharedFlag&) = delete;
    SharedFlag& operator=(const SharedFlag&) = delete;

    void set() { flag_->store(true); }
    bool isSet() const { return flag_->load(); }
    bool waitSet(std::chrono::milliseconds limit = 10s) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!isSet() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        return isSet();
    }

private:
    std::atomic<bool>* flag_;
};

TEST(PipeClientSessionDecision, OnlyWhatTheClientCannotChooseDecides) {
    const auto session = [](std::uint32_t id, uid_t uid, ConnectState state = ConnectState::Active) {
        TerminalSession s;
        s.id = id;
        s.uid = uid;
        s.state = state;
        return s;
    };
    const std::vector<TerminalSession> sessions{session(1, 1000), session(2, kNobody, ConnectState::Disconnected),
                                                session(3, kNobody), session(4, 0)};
    struct Case {
        const char* name;
        PipeClientFacts client;
        std::optional<std::uint32_t> session;
    };
    const auto launched = [](std::uint32_t id, bool headless) { return std::optional<LaunchedAgent>({id, headless}); };
    for (const Case& c : {
             Case{"its user's active session first", {kNobody, {}, {}}, 3u},
             Case{"its user's other session, named", {kNobody, {}, 2u}, 2u},
             Case{"another user's session, named", {kNobody, {}, 1u}, std::nullopt},
             Case{"a session that does not exist", {kNobody, {}, 9u}, std::nullopt},
             Case{"a user without a session", {1001, {}, {}}, std::nullopt},
             Case{"root's own session", {0, {}, {}}, 4u},
             Case{"root naming a user's session", {0, {}, 1u}, std::nullopt},
             Case{"the headless agent launched into a user's session", {0, launched(1, true), 1u}, 1u},
             Case{"the user agent, naming nothing", {1000, launched(1, false), {}}, 1u},
             Case{"a launched agent naming another session", {1000, launched(1, false), 3u}, std::nullopt},
         }) {
        const PipeClientSession decided = decidePipeClientSession(c.client, sessions);
        EXPECT_EQ(decided.sessionId, c.session) << c.name;
        EXPECT_EQ(decided.refusal.empty(), c.session.has_value()) << c.name << ": " << decided.refusal;
    }
    const PipeClientFacts rootAlone{0, {}, {}};
    EXPECT_EQ(decidePipeClientSession(rootAlone, {session(1, 1000)}).sessionId, 0u);  // the console user's
}

class LocalAccountsTest : public ServiceIpcServerTest {
protected:
    // An instance another account can reach, with a session of uid 1000 (session 1) and one of
    // "nobody" (session 2), and a pipe that admits both.
    void SetUp() override {
        ServiceIpcServerTest::SetUp();
        fs::permissions(root_.path(), fs::perms(0755));
        test::writeSessions({1000, kNobody});
        server_.stop();
        server_.start();
    }

    // Polls the server until `child` has ended.
    void pollUntilFinished(UnprivilegedChild& child, std::chrono::milliseconds limit = 15s) {
        pollUntil([&] { return child.finished(); }, limit);
    }

    // The stand-in client program (a pipe probe) where "nobody" may run it, as the client program
    // the server expects.
    fs::path installProbeAsClient() {
        const fs::path folder = root_.path() / "bin";
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms(0755));
        const fs::path program = folder / ServiceIpcServer::kClientProgramName;
        fs::copy_file(VELTRIX_PIPE_PROBE_PROGRAM, program, fs::copy_options::overwrite_existing);
        fs::permissions(program, fs::perms(0755));
        server_.setClientProgramPath(program);
        return program;
    }
};

// A client may name only a session of its own user: naming another user's session would have
// the service read and write that user's files with that user's rights.
TEST_F(LocalAccountsTest, AClientActsOnlyForASessionOfItsOwnUser) {
    const fs::path probe = installProbeAsClient();
    struct Case {
        const char* claim;  // VELTRIX_SESSION_ID, "" for none
        bool admitted;
        const char* logLine;
    };
    for (const Case& c : {
             Case{"1", false, "uid=65534 — it claims session 1, which is not a session of uid 65534"},
             Case{"7", false, "uid=65534 — it claims session 7, which is not a session of uid 65534"},
             Case{"", true, "ServiceIpc: accepted pipe client pid="},
             Case{"2", true, "ServiceIpc: accepted pipe client pid="},
         }) {
        SCOPED_TRACE(std::string("claim '") + c.claim + "'");
        logs_.clear();
        const int connectsBefore = connects_;
        std::vector<std::string> environment{"VELTRIX_ROOT=" + root_.path().string()};
        if (*c.claim) environment.push_back(std::string("VELTRIX_SESSION_ID=") + c.claim);
        UnprivilegedChild client(probe.string(), {"--send", R"({"type":"GET_STATE"})", "--read-ms", "1500"},
                                 environment);
        std::optional<std::uint32_t> sessionWhileConnected;
        pollUntil([&] {
            if (server_.isAgentConnected() && !sessionWhileConnected) sessionWhileConnected = agentSessionId();
            return client.finished();
        }, 15s);
        const std::string output = client.result();
        EXPECT_EQ(connects_ - connectsBefore, c.admitted ? 1 : 0);
        EXPECT_TRUE(logs_.contains(c.logLine)) << ::testing::PrintToString(logs_.lines());
        if (c.admitted) {
            EXPECT_EQ(sessionWhileConnected, 2u);  // nobody's own session, whose user the files are accessed as
            EXPECT_NE(output.find("\"type\":\"STATE\""), std::string::npos) << output;
        } else {
            EXPECT_FALSE(sessionWhileConnected);
            EXPECT_EQ(output.find("\"type\":\"STATE\""), std::string::npos) << output;
        }
        pollUntil([this] { return !server_.isAgentConnected(); });
    }
}

// DESKTOP_CHANGED makes the service end the user's agent and start one with its own rights: only
// the agent it launched for the session may report it.
TEST_F(LocalAccountsTest, ADesktopReportCountsOnlyFromTheAgentTheServiceLaunched) {
    std::vector<std::pair<QString, QString>> changes;
    QObject::connect(&server_, &ServiceIpcServer::desktopChanged,
                     [&](QString newName, QString oldName) { changes.emplace_back(newName, oldName); });
    std::atomic<pid_t> launchedAgent{1};  // the agent recorded for the session: another process
    server_.setLaunchedAgentLookup([&](pid_t pid) {
        return pid == launchedAgent.load() ? std::optional<LaunchedAgent>(LaunchedAgent{2, false}) : std::nullopt;
    });
    const auto reportSecureDesktop = [] {
        PipeConnection connection = connectClient();
        if (!connection.isOpen() || !awaitMessage(connection, "STATE")) return std::string("not admitted");
        connection.write(frameOf(R"({"type":"DESKTOP_CHANGED","new":"Winlogon","old":"Default"})"));
        connection.write(frameOf(R"({"type":"GET_STATE"})"));
        return awaitMessage(connection, "STATE") ? std::string("reported") : std::string("dropped");
    };

    UnprivilegedChild intruder(reportSecureDesktop);
    pollUntilFinished(intruder);
    EXPECT_EQ(intruder.result(), "reported");
    EXPECT_TRUE(changes.empty());
    EXPECT_TRUE(logs_.contains("IPC DESKTOP_CHANGED refused: pipe client pid=" + std::to_string(intruder.pid())));
    pollUntil([this] { return !server_.isAgentConnected(); });

    UnprivilegedChild agent(reportSecureDesktop);
    launchedAgent = agent.pid();
    pollUntilFinished(agent);
    EXPECT_EQ(agent.result(), "reported");
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].first, "Winlogon");
}

// A client that sends thousands of commands at once gets a bounded share of each turn of the
// service's event loop; the rest follows at once, with timers running in between.
TEST_F(LocalAccountsTest, ACommandFloodLeavesTheEventLoopItsTurns) {
    constexpr int kFlood = 3000;
    SharedFlag written;
    UnprivilegedChild flooder([&written] {
        PipeConnection connection = connectClient();
        if (!connection.isOpen() || !awaitMessage(connection, "STATE")) return std::string("not admitted");
        std::string burst;
        for (int i = 0; i < kFlood; ++i) burst += frameOf(R"({"type":"FLOOD","n":)" + std::to_string(i) + "}");
        const bool sent = connection.write(burst).status == PipeStatus::Ok;
        written.set();
        // One reply (an ERROR for the unknown type) per command.
        return sent && awaitMessage(connection, "*", nullptr, kFlood) ? std::string("answered") : std::string("lost");
    });
    ASSERT_TRUE(pollUntil([this] { return server_.isAgentConnected(); }, 10s));
    ASSERT_TRUE(written.waitSet());

    server_.pollPipe();
    EXPECT_GT(received_.size(), 0u);
    EXPECT_LE(received_.size(), static_cast<std::size_t>(ServiceIpcServer::kMaxMessagesPerPoll));

    // A timer due now runs before the flood is through, and the flood goes on without the poll
    // timer's help.
    std::optional<std::size_t> handledWhenTheTimerRan;
    QTimer::singleShot(0, [&] { handledWhenTheTimerRan = received_.size(); });
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (received_.size() < static_cast<std::size_t>(kFlood) && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents();
    }
    ASSERT_EQ(received_.size(), static_cast<std::size_t>(kFlood));
    ASSERT_TRUE(handledWhenTheTimerRan);
    EXPECT_LT(*handledWhenTheTimerRan, static_cast<std::size_t>(kFlood));
    for (int i = 0; i < kFlood; ++i) ASSERT_EQ(received_[static_cast<std::size_t>(i)]["n"], i);
    pollUntilFinished(flooder, 30s);
    EXPECT_EQ(flooder.result(), "answered");
}

// Each user's client lock lies in a folder only that user may write, made by the service for the
// users with a session; the service counts a held lock only there.
TEST_F(LocalAccountsTest, AUsersClientLockCanBeNeitherTakenNorFakedByAnotherAccount) {
    struct stat st{};
    ASSERT_EQ(stat(platform::paths::userRunDir(kNobody).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kNobody);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(stat(platform::paths::userRunDir(1000).parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);

    service::SystemAgentPlatform machine;
    EXPECT_FALSE(machine.clientMutexExists());
    SharedFlag held;
    SharedFlag release;
    UnprivilegedChild user([&] {
        // Another user's lock can be neither made nor planted.
        const std::string foreign = platform::paths::mutexPath(kClientMutexName, 1000).string();
        if (::open(foreign.c_str(), O_RDWR | O_CREAT, 0644) >= 0 || errno != EACCES) return std::string("squatted");
        if (mkdir(platform::paths::userRunDir(1001).c_str(), 0755) == 0 || errno != EACCES) {
            return std::string("made a folder for another user");
        }
        platform::NamedMutex own;
        platform::SystemError error;
        if (!own.acquire(kClientMutexName, error)) return "own lock: " + error.text();
        held.set();
        release.waitSet();
        return std::string("held");
    });
    ASSERT_TRUE(held.waitSet()) << user.result();
    EXPECT_TRUE(machine.clientMutexExists());
    // Once the user has no session the lock no longer counts: only the pipe's users are clients.
    test::writeSessions({1000});
    EXPECT_FALSE(machine.clientMutexExists());
    release.set();
    EXPECT_EQ(user.result(), "held");
}

}  // namespace
}  // namespace veltrix
