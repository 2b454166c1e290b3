// Real agent launches: the client program beside this one started as the headless agent, with an
// environment built from scratch for its session, ended only while its record still names it,
// and reaped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/InstancePaths.h"
#include "platform/ProcessInfo.h"
#include "service/SystemAgentPlatform.h"
#include "support/TempInstanceRoot.h"
#include "support/WaitUntil.h"

namespace veltrix::service {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::vector<std::string> environmentOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::vector<std::string> entries;
    std::string entry;
    for (char c : text.str()) {
        if (c == '\0') {
            entries.push_back(entry);
            entry.clear();
        } else {
            entry += c;
        }
    }
    return entries;
}

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

TEST(SystemAgentPlatform, HeadlessAgentGetsItsSessionsEnvironmentAndIsReaped) {
    test::TempInstanceRoot root;
    platform::paths::ensureDirectory(platform::paths::runDir());
    std::ofstream(platform::paths::runDir() / "sessions.json")
        << R"({"sessions":[{"id":3,"user":"u","uid":)" << geteuid()
        << R"(,"state":"active","console":true,"display":":77","xauthority":"/tmp/x.auth"}]})";
    setenv("VELTRIX_SERVICE_ONLY_SECRET", "1", 1);

    SystemAgentPlatform machine;
    ASSERT_TRUE(fs::exists(machine.agentProgram())) << machine.agentProgram();
    int error = 0;
    const auto token = machine.serviceTokenInSession(3, error);
    ASSERT_TRUE(token);
    const ProcessLaunch launch = machine.createProcess(*token, AgentKind::Headless, false);
    unsetenv("VELTRIX_SERVICE_ONLY_SECRET");
    ASSERT_TRUE(launch.ok) << launch.lastError;
    const pid_t pid = launch.process.pid;
    EXPECT_TRUE(machine.isRunning(launch.process));

    const auto environment = environmentOf(pid);
    EXPECT_TRUE(contains(environment, "DISPLAY=:77"));
    EXPECT_TRUE(contains(environment, "XAUTHORITY=/tmp/x.auth"));
    EXPECT_TRUE(contains(environment, "VELTRIX_SESSION_ID=3"));
    EXPECT_TRUE(contains(environment, "VELTRIX_ROOT=" + root.path().string()));
    for (const auto& entry : environment) EXPECT_NE(entry.rfind("VELTRIX_SERVICE_ONLY_SECRET", 0), 0u) << entry;
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/cwd"), fs::path(machine.agentProgram()).parent_path());

    // A record whose start time is not the process's names another process: left alone.
    platform::agents::LaunchedProcess stale = launch.process;
    stale.startTime += 1s;
    EXPECT_FALSE(machine.isRunning(stale));
    machine.terminate(stale, 100);
    EXPECT_TRUE(machine.isRunning(launch.process));

    machine.terminate(launch.process, 3000);
    EXPECT_FALSE(machine.isRunning(launch.process));
    // Reaped: not even a zombie stays in the process table.
    EXPECT_TRUE(test::waitUntil([&] { return !fs::exists("/proc/" + std::to_string(pid)); }, 5s));
}

TEST(SystemAgentPlatform, AFailedExecIsReportedWithItsError) {
    platform::agents::LaunchSpec spec;
    spec.program = "/nonexistent/VeltrixClient";
    spec.uid = geteuid();
    spec.gid = getegid();
    platform::SystemError error;
    EXPECT_FALSE(platform::agents::launch(spec, error));
    EXPECT_EQ(error.code, ENOENT);
}

TEST(SystemAgentPlatform, UserTokenNeedsAnActiveSessionOfAKnownAccount) {
    test::TempInstanceRoot root;
    platform::paths::ensureDirectory(platform::paths::runDir());
    std::ofstream(platform::paths::runDir() / "sessions.json")
        << R"({"sessions":[{"id":1,"user":"x","uid":)" << geteuid()
        << R"(,"state":"active"},{"id":2,"user":"y","uid":4000000000,"state":"active"},)"
        << R"({"id":4,"user":"z","uid":0,"state":"disconnected"}]})";
    SystemAgentPlatform machine;
    int error = 0;
    const auto token = machine.userToken(1, error);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->uid, geteuid());
    EXPECT_FALSE(token->groups.empty());
    EXPECT_FALSE(machine.userToken(2, error));
    EXPECT_FALSE(machine.userToken(4, error));
    EXPECT_FALSE(machine.userToken(9, error));
}

}  // namespace
}  // namespace veltrix::service
