#include <gtest/gtest.h>

#include <fstream>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/InstancePaths.h"
#include "platform/TerminalSessions.h"
#include "support/TempInstanceRoot.h"

namespace veltrix::platform {
namespace {

class TerminalSessionsTest : public ::testing::Test {
protected:
    test::TempInstanceRoot root;

    void write(const std::string& json) {
        paths::ensureDirectory(paths::runDir());
        std::ofstream(sessions::sessionsFilePath()) << json;
    }
};

TEST_F(TerminalSessionsTest, NoFileMeansNoSession) {
    EXPECT_TRUE(sessions::enumerate().empty());
    EXPECT_EQ(sessions::activeConsoleSessionId(), sessions::kNoSession);
    EXPECT_EQ(sessions::sessionOfUser(getuid()), 0u);
}

TEST_F(TerminalSessionsTest, ReadsSessionsAndTheActiveConsole) {
    write(R"({"sessions": [
        {"id": 2, "user": "bob", "uid": 1001, "state": "disconnected", "console": true},
        {"id": 3, "user": "alice", "uid": 1000, "state": "active", "console": true},
        {"id": -1, "user": "bad", "uid": 5},
        {"id": 4, "user": "carol", "uid": 1002, "state": "active"}]})");
    const auto all = sessions::enumerate();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(sessions::activeConsoleSessionId(), 3u);
    const auto alice = sessions::find(3);
    ASSERT_TRUE(alice);
    EXPECT_EQ(alice->userName, "alice");
    EXPECT_EQ(alice->uid, 1000u);
    EXPECT_FALSE(sessions::find(9));
}

TEST_F(TerminalSessionsTest, TheLogOnScreenIsTheConsoleSessionWhileNobodyIsLoggedOn) {
    write(R"({"sessions": [
        {"id": 2, "user": "bob", "uid": 1001, "state": "disconnected", "console": true},
        {"id": 1, "user": "", "uid": 0, "state": "connected", "console": true}]})");
    EXPECT_EQ(sessions::activeConsoleSessionId(), 1u);
    write(R"({"sessions": [{"id": 2, "user": "bob", "uid": 1001, "state": "disconnected", "console": true}]})");
    EXPECT_EQ(sessions::activeConsoleSessionId(), sessions::kNoSession);
}

TEST_F(TerminalSessionsTest, AUsersSessionIsItsActiveOneFirst) {
    write(R"({"sessions": [{"id": 5, "user": "me", "uid": 1000, "state": "disconnected"},
        {"id": 7, "user": "me", "uid": 1000, "state": "active", "console": true},
        {"id": 8, "user": "other", "uid": 1001, "state": "disconnected"}]})");
    EXPECT_EQ(sessions::sessionOfUser(1000), 7u);
    EXPECT_EQ(sessions::sessionOfUser(1001), 8u);
    EXPECT_EQ(sessions::sessionOfUser(1002), 0u);
}

TEST_F(TerminalSessionsTest, AProcessClaimsTheSessionNamedInItsEnvironment) {
    write(R"({"sessions": []})");
    const pid_t child = fork();
    if (child == 0) {
        char name[] = "VELTRIX_SESSION_ID=12";
        char* env[] = {name, nullptr};
        char* argv[] = {const_cast<char*>("sleep"), const_cast<char*>("5"), nullptr};
        execve("/bin/sleep", argv, env);
        _exit(127);
    }
    // The environment is the new one only once the child has exec'd.
    for (int i = 0; i < 200 && sessions::claimedSession(child) != 12u; ++i) usleep(5000);
    EXPECT_EQ(sessions::claimedSession(child), 12u);
    EXPECT_FALSE(sessions::claimedSession(getpid()));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

}  // namespace
}  // namespace veltrix::platform
