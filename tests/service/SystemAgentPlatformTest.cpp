// Real agent launches: the client program beside this one started as the headless agent, with an
// environment built from scratch for its session, ended only while its record still names it,
// and reaped.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/ControlSignals.h"
#include "platform/InstancePaths.h"
#include "platform/ProcessInfo.h"
#include "service/SystemAgentPlatform.h"
#include "support/TempInstanceRoot.h"
#include "support/UnprivilegedChild.h"
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

// The value of one "Name:" line of /proc/<pid>/status.
std::string statusField(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name + ":", 0) == 0) return line.substr(line.find_first_not_of(" \t", name.size() + 1));
    }
    return {};
}

// Descriptor number -> what it refers to, of process `pid`.
std::map<int, std::string> descriptorsOf(pid_t pid) {
    std::map<int, std::string> descriptors;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
        descriptors[std::stoi(entry.path().filename().string())] = fs::read_symlink(entry.path(), ec).string();
    }
    return descriptors;
}

// /bin/sleep started as "nobody", the way the service starts an agent as a session's user.
platform::agents::LaunchSpec sleeperAsNobody() {
    platform::agents::LaunchSpec spec;
    spec.program = "/bin/sleep";
    spec.arguments = {"30"};
    spec.uid = test::UnprivilegedChild::kNobody;
    spec.gid = test::UnprivilegedChild::kNobody;
    spec.environment = {"PATH=/usr/bin:/bin"};
    return spec;
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

    // A record that holds no process names none, whatever id it shows: left alone.
    const platform::agents::LaunchedProcess bare{pid, nullptr};
    EXPECT_FALSE(machine.isRunning(bare));
    machine.terminate(bare, 100);
    EXPECT_TRUE(machine.isRunning(launch.process));

    machine.terminate(launch.process, 3000);
    EXPECT_FALSE(machine.isRunning(launch.process));
    // Reaped: not even a zombie stays in the process table.
    EXPECT_TRUE(test::waitUntil([&] { return !fs::exists("/proc/" + std::to_string(pid)); }, 5s));
}

// The service runs with its stop signals blocked, some signals ignored and its log, sockets and
// sections open: a program it starts as another account gets none of that.
TEST(SystemAgentPlatform, ALaunchedAgentHasAnEmptySignalMaskAndNoDescriptorOfTheServices) {
    test::TempInstanceRoot root;
    const int serviceFile = ::open((root.path() / "service-only").c_str(), O_RDWR | O_CREAT, 0600);  // inheritable
    ASSERT_GE(serviceFile, 0);
    platform::control::blockControlSignals();
    const auto previousPipeAction = std::signal(SIGPIPE, SIG_IGN);

    platform::SystemError error;
    const auto agent = platform::agents::launch(sleeperAsNobody(), error);
    std::signal(SIGPIPE, previousPipeAction);
    platform::control::unblockControlSignals();
    ::close(serviceFile);
    ASSERT_TRUE(agent) << error.text();

    EXPECT_EQ(statusField(agent->pid, "SigBlk"), "0000000000000000");
    EXPECT_EQ(statusField(agent->pid, "SigIgn"), "0000000000000000");
    EXPECT_EQ(descriptorsOf(agent->pid),
              (std::map<int, std::string>{{0, "/dev/null"}, {1, "/dev/null"}, {2, "/dev/null"}}));
    platform::agents::terminate(*agent, 3000);
    EXPECT_FALSE(platform::agents::isRunning(*agent));
}

// Another account's shell that starts a long sleep whenever it is told to: a small process forks
// in a fraction of a millisecond, so the sleep can start right after an agent ended.
class ImpostorSpawner {
public:
    explicit ImpostorSpawner(const fs::path& folder) : fifo_(folder / "go"), pidFile_(folder / "pid") {
        fs::create_directories(folder);
        fs::permissions(folder, fs::perms::all);
        mkfifo(fifo_.c_str(), 0666);
        chmod(fifo_.c_str(), 0666);
        const std::string script = "while read line < '" + fifo_.string() + "'; do sleep 30 & echo $! > '" +
                                   pidFile_.string() + ".new'; mv '" + pidFile_.string() + ".new' '" +
                                   pidFile_.string() + "'; done";
        shell_ = std::make_unique<test::UnprivilegedChild>("/bin/sh", std::vector<std::string>{"-c", script},
                                                           std::vector<std::string>{"PATH=/usr/bin:/bin"});
    }
    ~ImpostorSpawner() {
        for (const pid_t pid : spawned_) ::kill(pid, SIGKILL);
    }

    // Starts one sleep; its pid, or 0.
    pid_t spawn() {
        const int go = ::open(fifo_.c_str(), O_WRONLY);
        if (go < 0) return 0;
        const bool told = ::write(go, "go\n", 3) == 3;
        ::close(go);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (told && !fs::exists(pidFile_) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(100us);
        }
        std::ifstream file(pidFile_);
        pid_t pid = 0;
        file >> pid;
        fs::remove(pidFile_);
        if (pid > 0) spawned_.push_back(pid);
        return pid;
    }

private:
    fs::path fifo_;
    fs::path pidFile_;
    std::unique_ptr<test::UnprivilegedChild> shell_;
    std::vector<pid_t> spawned_;
};

// Alive and not a zombie.
bool isAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

std::optional<platform::process::ProcessTime> startTimeOf(pid_t pid) {
    platform::SystemError error;
    const auto process = platform::process::ProcessHandle::open(pid, error);
    return process.isValid() ? process.startTime(error) : std::nullopt;
}

// An agent that ended and whose id another account's process was given: ending the agent's
// record must not reach that process, not even when the two started within one tick of the
// process table's clock, where their start times cannot tell them apart.
TEST(SystemAgentPlatform, AnAgentsIdGivenToAnotherAccountsProcessIsNeverSignalled) {
    test::TempInstanceRoot root;
    fs::permissions(root.path(), fs::perms(0755));
    std::fstream lastPid("/proc/sys/kernel/ns_last_pid");
    ASSERT_TRUE(lastPid.is_open()) << "the test places a process on a chosen id";
    ImpostorSpawner impostors(root.path() / "impostor");
    int placed = 0;
    bool placedWithinOneTick = false;
    for (int attempt = 0; attempt < 30 && placed < 5 && !placedWithinOneTick; ++attempt) {
        platform::SystemError error;
        const auto agent = platform::agents::launch(sleeperAsNobody(), error);
        ASSERT_TRUE(agent) << error.text();
        const auto agentStarted = startTimeOf(agent->pid);
        ::kill(agent->pid, SIGKILL);  // it ends by itself, not through the record
        const auto reaped = std::chrono::steady_clock::now() + 5s;
        while (fs::exists("/proc/" + std::to_string(agent->pid)) && std::chrono::steady_clock::now() < reaped) {
            std::this_thread::sleep_for(100us);
        }
        // The next process takes the agent's id (unless another process of the machine is quicker).
        lastPid.seekp(0);
        lastPid << agent->pid - 1 << std::flush;
        const pid_t impostor = impostors.spawn();
        if (impostor != agent->pid) continue;
        ++placed;
        placedWithinOneTick = agentStarted && startTimeOf(impostor) == agentStarted;
        EXPECT_FALSE(platform::agents::isRunning(*agent));
        platform::agents::terminate(*agent, 100);
        // A signal takes a moment to land.
        EXPECT_FALSE(test::waitUntil([&] { return !isAlive(impostor); }, 200ms))
            << "the impostor was killed through the agent's record";
    }
    EXPECT_GT(placed, 0);
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
