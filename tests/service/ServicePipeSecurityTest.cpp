// The pipe server tried as a local attacker would: who may connect, what decides administrator
// rights, a client that never reads or never finishes a message, peer text in the log, and the
// decoded-frame section's owner and lifetime.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <map>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "PipeServerFixture.h"
#include "core/ImpersonationScope.h"
#include "core/SettingsController.h"
#include "platform/InstancePaths.h"
#include "shared/SharedFrameHeader.h"
#include "support/AccessList.h"
#include "support/SessionsFile.h"
#include "support/UnprivilegedChild.h"

namespace veltrix {
namespace {

namespace fs = std::filesystem;
using test::UnprivilegedChild;

class PipeSecurityTest : public ServiceIpcServerTest {};

// Reads messages from `connection` until `count` of `type` ("*": any type) have arrived (or 15 s
// pass: only a failing case waits that long, and megabytes of replies take seconds under the
// sanitizers on a loaded machine).
bool awaitMessage(PipeConnection& connection, const std::string& type, std::string* seen = nullptr, int count = 1) {
    IpcFrameReader reader(0x4000000);
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
        char buffer[65536];
        const auto result = connection.read(buffer, sizeof buffer);
        if (result.status == PipeStatus::Closed) return false;
        reader.append(buffer, result.bytes);
        IpcMessage message;
        std::string error;
        while (reader.next(message, error) == IpcFrameReader::Status::Message) {
            if (seen) *seen += message.dump() + "\n";
            if ((type == "*" || message.value("type", "") == type) && --count == 0) return true;
        }
        if (result.bytes == 0) std::this_thread::sleep_for(2ms);
    }
    return false;
}

// Credential changes of a client around its connect; true when they worked.
bool becomeNobodyKeepingRoot() {
    return setgroups(0, nullptr) == 0 &&
           setresgid(UnprivilegedChild::kNobody, UnprivilegedChild::kNobody, 0) == 0 &&
           setresuid(UnprivilegedChild::kNobody, UnprivilegedChild::kNobody, 0) == 0;
}
bool takeRootBack() { return setresuid(0, 0, 0) == 0 && setresgid(0, 0, 0) == 0 && geteuid() == 0; }
bool becomeNobodyInTheAdminGroup() {
    const gid_t adm = 4;  // "adm", named the administrators' group below
    return setgroups(1, &adm) == 0 &&
           setresgid(UnprivilegedChild::kNobody, UnprivilegedChild::kNobody, UnprivilegedChild::kNobody) == 0 &&
           setresuid(UnprivilegedChild::kNobody, UnprivilegedChild::kNobody, UnprivilegedChild::kNobody) == 0;
}
bool dropEverything() {
    return setgroups(0, nullptr) == 0 &&
           setresgid(UnprivilegedChild::kNobody, UnprivilegedChild::kNobody, UnprivilegedChild::kNobody) == 0 &&
           setresuid(UnprivilegedChild::kNobody, UnprivilegedChild::kNobody, UnprivilegedChild::kNobody) == 0;
}
bool nothing() { return true; }

struct AdminCase {
    const char* label;
    bool (*beforeConnect)();
    bool (*onceAdmitted)();
    bool admitted;
};

class AdministratorTest : public PipeSecurityTest, public ::testing::WithParamInterface<AdminCase> {};

// Administrator rights are those the client connected with, as the kernel recorded them (its
// user or its supplementary groups); what it gains later does not count, what it drops does. The
// first case is the fork-and-exec set-user-id attack run in reverse: the child connects as
// "nobody" keeping root as its saved user id and takes root back once admitted, as a process would
// that kept the connection while its parent exec'd a set-user-id program.
TEST_P(AdministratorTest, DecidesByTheConnectTimeCredentials) {
    const AdminCase& c = GetParam();
    fs::permissions(root_.path(), fs::perms(0755));
    test::writeSessions({UnprivilegedChild::kNobody});
    std::ofstream(root_.path() / "instance.ini") << "[service]\nadminGroup=adm\n";
    SettingsController settings;
    settings.setUnattendedAccessEnabled(false);
    ServiceIpcServer server{nullptr, nullptr, &settings, nullptr, nullptr};
    server_.stop();
    server.setClientProgramPath(platform::process::ownProgramPath());
    server.start();

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!c.beforeConnect()) _exit(10);
        SystemError error;
        PipeConnection connection = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
        if (!connection.isOpen() || !awaitMessage(connection, "STATE")) _exit(11);
        if (!c.onceAdmitted()) _exit(12);
        connection.write(encodeIpcFrame(IpcMessage::parse(R"({"type":"SET_UNATTENDED_ACCESS","enabled":true})")));
        std::string replies;
        const bool refused = awaitMessage(connection, "*", &replies, 1);
        _exit(refused && replies.find("Administrator rights are required to change unattended access") !=
                             std::string::npos
                  ? 1
                  : 0);
    }
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (waitpid(child, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline) {
        server.pollPipe();
        std::this_thread::sleep_for(1ms);
    }
    if (std::chrono::steady_clock::now() >= deadline) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.admitted ? 0 : 1);
    EXPECT_EQ(settings.unattendedAccessEnabled(), c.admitted);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AdministratorTest,
    ::testing::Values(AdminCase{"RootGainedAfterConnecting", becomeNobodyKeepingRoot, takeRootBack, false},
                      AdminCase{"AdminGroupMemberAtConnect", becomeNobodyInTheAdminGroup, nothing, true},
                      AdminCase{"RootThatDroppedItsRightsSince", nothing, dropEverything, false},
                      AdminCase{"Root", nothing, nothing, true}),
    [](const auto& info) { return std::string(info.param.label); });

// A process connects and then becomes the client program by exec: once with its end kept across
// the exec, once with its end handed to a child that stays while the parent exec's. Both are
// refused; the program that connects by itself is accepted (see ServiceIpcServerTest).
struct ExecCase {
    const char* label;
    bool handToChild;
    const char* expectedLog;
};

class ConnectThenExecTest : public PipeSecurityTest, public ::testing::WithParamInterface<ExecCase> {};

TEST_P(ConnectThenExecTest, IsRefused) {
    const fs::path program = fs::canonical("/bin/sleep");
    server_.setClientProgramPath(program);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        SystemError error;
        PipeConnection connection = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
        if (!connection.isOpen()) _exit(20);
        const int fd = connection.nativeHandle();
        if (GetParam().handToChild) {
            if (fork() == 0) {
                fcntl(fd, F_SETFD, 0);  // the helper keeps the connection while it sleeps
                execl(program.c_str(), "sleep", "3", static_cast<char*>(nullptr));
                _exit(21);
            }
        } else {
            fcntl(fd, F_SETFD, 0);  // kept across the exec below
        }
        execl(program.c_str(), "sleep", "3", static_cast<char*>(nullptr));
        _exit(22);
    }
    // Once the connecting process runs the client program, the service looks at it.
    const auto execDeadline = std::chrono::steady_clock::now() + 3s;
    std::error_code ec;
    while (fs::read_symlink("/proc/" + std::to_string(child) + "/exe", ec) != program &&
           std::chrono::steady_clock::now() < execDeadline) {
        std::this_thread::sleep_for(1ms);
    }
    pollFor(100ms);
    EXPECT_FALSE(server_.isAgentConnected());
    EXPECT_EQ(connects_, 0);
    EXPECT_TRUE(logs_.contains(GetParam().expectedLog)) << GetParam().label;
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConnectThenExecTest,
    ::testing::Values(ExecCase{"KeptAcrossExec", false, "holds the connection across exec"},
                      ExecCase{"HandedToAChild", true, "the connecting process no longer holds the connection"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(PipeSecurityTest, AUserWithoutATerminalSessionIsRefused) {
    fs::permissions(root_.path(), fs::perms(0755));
    test::writeSessions({1000});
    server_.stop();
    server_.start();

    // The socket's access list keeps the kernel from connecting the user at all...
    UnprivilegedChild refusedByTheKernel([] {
        SystemError error;
        auto connection = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
        return connection.isOpen() ? std::string("connected") : std::to_string(error.code);
    });
    EXPECT_EQ(refusedByTheKernel.result(), std::to_string(EACCES));

    // ...and a user whose session ended after the list was made is refused at accept.
    test::writeSessions({UnprivilegedChild::kNobody});
    server_.stop();
    server_.start();
    test::writeSessions({1000});
    UnprivilegedChild refusedAtAccept([] {
        SystemError error;
        auto connection = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
        if (!connection.isOpen()) return "connect failed: " + error.text();
        return awaitMessage(connection, "STATE") ? std::string("admitted") : std::string("refused");
    });
    while (!refusedAtAccept.finished()) {
        server_.pollPipe();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(refusedAtAccept.result(), "refused");
    EXPECT_TRUE(logs_.contains("uid=65534 — not an interactive user"));
    EXPECT_EQ(connects_, 0);
}

TEST_F(PipeSecurityTest, AClientThatNeverReadsStallsNothingAndIsDroppedWhenItsQueueIsFull) {
    PipeConnection client = connectAgent();
    // Far more than the socket holds: without a queue each write would wait for the reader.
    const IpcMessage big{{"type", "PAD"}, {"pad", std::string(256 * 1024, 'x')}};
    for (int i = 0; i < 32; ++i) server_.sendMessage(big);
    EXPECT_TRUE(server_.isAgentConnected());
    EXPECT_GT(server_.pendingOutboundBytes(), 0u);

    // Another command is still served at once: the one poll that finds it handles it, and that
    // poll does not wait for the client (a blocking write would hold it for its 5 s time-out).
    ASSERT_EQ(client.write(frameOf(R"({"type":"PING"})")).status, PipeStatus::Ok);
    const auto start = std::chrono::steady_clock::now();
    server_.pollPipe();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    ASSERT_EQ(received_.size(), 1u);
    EXPECT_EQ(received_.back()["type"], "PING");

    // The queue is bounded: past it the client goes.
    for (int i = 0; i < 64 && server_.isAgentConnected(); ++i) server_.sendMessage(big);
    EXPECT_FALSE(server_.isAgentConnected());
    EXPECT_EQ(disconnects_, 1);
    EXPECT_TRUE(logs_.contains("ServiceIpc: dropping pipe client: it has not read"));
}

TEST_F(PipeSecurityTest, QueuedRepliesReachAClientThatReadsLate) {
    PipeConnection client = connectAgent();
    const IpcMessage big{{"type", "PAD"}, {"pad", std::string(256 * 1024, 'x')}};
    for (int i = 0; i < 8; ++i) server_.sendMessage(big);
    server_.sendMessage(IpcMessage{{"type", "LAST"}});
    std::string seen;
    std::thread reader([&] { awaitMessage(client, "LAST", &seen); });
    // Megabytes of replies to a reader that parses each one take seconds under the sanitizers.
    EXPECT_TRUE(pollUntil([&] { return server_.pendingOutboundBytes() == 0; }, 15s));
    reader.join();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), '\n'), 1 + 8 + 1);  // STATE, the pads, LAST
}

// A message begun and never finished holds the one pipe instance; it may not for long, neither
// when nothing more comes nor when a byte trickles in now and then.
struct PartialCase {
    const char* label;
    std::chrono::milliseconds trickle;  // 0: nothing after the first bytes
};

class PartialMessageTest : public PipeSecurityTest, public ::testing::WithParamInterface<PartialCase> {};

TEST_P(PartialMessageTest, TheClientIsDroppedAfterTheTimeOut) {
    server_.setPartialMessageTimeout(150ms);
    PipeConnection client = connectAgent();
    std::string frame = frameOf(messageOfSize(1000));
    ASSERT_EQ(client.write(frame.substr(0, 10)).status, PipeStatus::Ok);
    std::size_t sent = 10;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    auto nextTrickle = std::chrono::steady_clock::now();
    while (server_.isAgentConnected() && std::chrono::steady_clock::now() < deadline) {
        if (GetParam().trickle.count() > 0 && std::chrono::steady_clock::now() >= nextTrickle) {
            client.write(frame.substr(sent++, 1));
            nextTrickle += GetParam().trickle;
        }
        server_.pollPipe();
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_FALSE(server_.isAgentConnected());
    EXPECT_TRUE(logs_.contains("ServiceIpc: dropping pipe client: a message stayed incomplete for 150 ms"));
    EXPECT_TRUE(received_.empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, PartialMessageTest,
                         ::testing::Values(PartialCase{"NothingMore", 0ms}, PartialCase{"ATrickle", 20ms}),
                         [](const auto& info) { return std::string(info.param.label); });

TEST_F(PipeSecurityTest, AWholeMessageSentSlowlyWithinTheTimeOutIsHandled) {
    server_.setPartialMessageTimeout(2s);
    PipeConnection client = connectAgent();
    const std::string frame = frameOf(R"({"type":"PING"})");
    ASSERT_EQ(client.write(frame.substr(0, 5)).status, PipeStatus::Ok);
    pollFor(50ms);
    ASSERT_EQ(client.write(frame.substr(5)).status, PipeStatus::Ok);
    ASSERT_TRUE(pollUntil([this] { return !received_.empty(); }));
    EXPECT_TRUE(server_.isAgentConnected());
}

// A steady stream whose every read ends inside the next message is not a stalled one: messages
// keep completing, for longer than the time-out in all.
TEST_F(PipeSecurityTest, AStreamThatKeepsCompletingMessagesIsNotDropped) {
    server_.setPartialMessageTimeout(100ms);
    PipeConnection client = connectAgent();
    std::string stream;
    for (int i = 100; i < 160; ++i) stream += frameOf(R"({"type":"PING","n":)" + std::to_string(i) + "}");
    const std::size_t frameSize = stream.size() / 60;  // all of one size
    ASSERT_EQ(client.write(stream.substr(0, 3)).status, PipeStatus::Ok);
    for (std::size_t at = 3; at < stream.size(); at += frameSize) {
        ASSERT_EQ(client.write(stream.substr(at, frameSize)).status, PipeStatus::Ok);
        pollFor(5ms);
    }
    ASSERT_TRUE(pollUntil([this] { return received_.size() == 60; }));
    EXPECT_TRUE(server_.isAgentConnected());
}

TEST_F(PipeSecurityTest, PeerTextInTheLogAndInRepliesIsBounded) {
    PipeConnection client = connectAgent();
    const std::string hugeType(1000000, 'T');
    std::string replies;
    std::atomic<bool> done{false};
    std::thread peer([&] {
        for (int i = 0; i < 3; ++i) client.write(frameOf(IpcMessage{{"type", hugeType}}.dump()));
        client.write(frameOf("{\"type\":\"" + std::string(100000, 'J')));
        awaitMessage(client, "ERROR", &replies, 3);
        done = true;
    });
    while (!done) {
        server_.pollPipe();
        std::this_thread::sleep_for(1ms);
    }
    peer.join();
    ASSERT_TRUE(pollUntil([this] { return logs_.contains("IPC JSON parse error"); }));

    std::size_t logged = 0;
    for (const auto& line : logs_.lines()) logged += line.size();
    EXPECT_LT(logged, 16u * 1024);
    EXPECT_EQ(logs_.count("IPC: unknown command type 'TTTT"), 3u);
    EXPECT_EQ(logs_.count("more bytes)"), 4u);  // the three types and the parse error's text
    EXPECT_EQ(std::count(replies.begin(), replies.end(), '\n'), 4);  // STATE and the three ERRORs
    EXPECT_NE(replies.find("Unknown command: TTTT"), std::string::npos);
    EXPECT_LT(replies.size(), 4u * 1024);
}

TEST_F(PipeSecurityTest, TheFrameSectionBelongsToTheInteractiveUserAndThenToTheAgentsUser) {
    fs::permissions(root_.path(), fs::perms(0755));
    test::writeSessions({1000, UnprivilegedChild::kNobody});
    server_.stop();
    server_.start();
    const auto section = platform::paths::sectionPath(kFrameSectionName);
    struct stat st{};
    ASSERT_EQ(stat(section.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 0777, 0640u);  // the group bits are the access list's mask
    EXPECT_EQ(test::namedUsersOf(section), (std::map<uid_t, unsigned>{{1000, 4}}));  // the console user reads

    UnprivilegedChild agent([] {
        SystemError error;
        auto connection = platform::connectToPipe(ServiceIpcServer::kPipeName, error);
        if (!connection.isOpen()) return "connect failed: " + error.text();
        awaitMessage(connection, "STATE");
        std::this_thread::sleep_for(200ms);
        return std::string("done");
    });
    ASSERT_TRUE(pollUntil([this] { return server_.isAgentConnected(); }));
    EXPECT_EQ(agentSessionId(), 2u);  // the agent's own session, the second one
    EXPECT_EQ(test::namedUsersOf(section), (std::map<uid_t, unsigned>{{UnprivilegedChild::kNobody, 4}}));
    while (!agent.finished()) pollFor(5ms);
    ASSERT_TRUE(pollUntil([this] { return !server_.isAgentConnected(); }));
    EXPECT_EQ(agentSessionId(), 0u);
}

TEST_F(PipeSecurityTest, NoSectionOutlivesTheServiceAndStaleOnesAreReplaced) {
    const auto frameSection = platform::paths::sectionPath(kFrameSectionName);
    const auto captureSection = platform::paths::sectionPath(kCaptureSectionName);
    auto frame = std::make_shared<DecodedFrame>();
    frame->width = 16;
    frame->height = 16;
    frame->strideY = 16;
    frame->strideUV = 16;
    frame->y.assign(256, 0x77);
    frame->uv.assign(128, 0x55);
    server_.forwardDecodedFrame(frame);
    std::ofstream(captureSection) << "an old packet";
    server_.stop();
    EXPECT_FALSE(fs::exists(frameSection));
    EXPECT_FALSE(fs::exists(captureSection));

    // A service that died left both behind, the picture still in its section.
    std::ofstream(captureSection) << "an old packet";
    std::ofstream(frameSection, std::ios::binary) << std::string(kSharedFrameHeaderSize + 256, '\x77');
    server_.start();
    EXPECT_FALSE(fs::exists(captureSection));
    EXPECT_EQ(server_.frameSection().readHeader().sequence, 0u);
    std::string section(kSharedFrameHeaderSize + 256, '\0');
    std::ifstream(frameSection, std::ios::binary).read(section.data(), std::streamsize(section.size()));
    EXPECT_EQ(std::count(section.begin(), section.end(), '\x77'), 0);
}

}  // namespace
}  // namespace veltrix
