#include "platform/AgentProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace veltrix::platform::agents {
namespace {

std::optional<passwd> accountOf(uid_t uid, std::vector<char>& buffer) {
    buffer.assign(16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    return entry;
}

// The child's side: everything here is async-signal-safe. A failure writes its errno to the pipe.
[[noreturn]] void runChild(const LaunchSpec& spec, char* const* argv, char* const* envp, int reportFd) {
    const auto fail = [reportFd] {
        const int code = errno;
        (void)!write(reportFd, &code, sizeof code);
        _exit(127);
    };
    // An account that is already this process's (a service that does not run as root) keeps
    // its credentials; any other is taken whole: groups, group, then user.
    if (geteuid() != spec.uid || getegid() != spec.gid) {
        if (setgroups(spec.groups.size(), spec.groups.data()) != 0) fail();
        if (setgid(spec.gid) != 0) fail();
        if (setuid(spec.uid) != 0) fail();
    }
    if (!spec.workingDirectory.empty() && chdir(spec.workingDirectory.c_str()) != 0) fail();
    execve(spec.program.c_str(), argv, envp);
    fail();
    _exit(127);
}

std::optional<process::ProcessTime> startTimeOf(pid_t pid) {
    SystemError error;
    const auto handle = process::ProcessHandle::open(pid, error);
    if (!handle.isValid()) return std::nullopt;
    return handle.startTime(error);
}

}  // namespace

std::optional<LaunchedProcess> launch(const LaunchSpec& spec, SystemError& error) {
    std::vector<std::string> argStrings{spec.program};
    argStrings.insert(argStrings.end(), spec.arguments.begin(), spec.arguments.end());
    std::vector<char*> argv;
    for (auto& a : argStrings) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = spec.environment;
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        error = SystemError::last();
        return std::nullopt;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        error = SystemError::last();
        close(report[0]);
        close(report[1]);
        return std::nullopt;
    }
    if (pid == 0) {
        close(report[0]);
        runChild(spec, argv.data(), envp.data(), report[1]);
    }
    close(report[1]);
    int childError = 0;
    ssize_t got;
    do {
        got = read(report[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    close(report[0]);

    // The waiter reaps the child whenever it ends, so no zombie stays behind.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();

    if (got == static_cast<ssize_t>(sizeof childError)) {
        error.code = childError;
        return std::nullopt;
    }
    LaunchedProcess launched;
    launched.pid = pid;
    launched.startTime = startTimeOf(pid).value_or(process::ProcessTime{0});
    return launched;
}

bool isRunning(const LaunchedProcess& process) {
    if (process.pid <= 0) return false;
    const auto start = startTimeOf(process.pid);
    return start && *start == process.startTime;
}

void terminate(const LaunchedProcess& process, int waitMs) {
    if (!isRunning(process)) return;
    kill(process.pid, SIGKILL);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (isRunning(process) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<std::string> accountEnvironment(uid_t uid, const std::vector<std::string>& extras) {
    std::vector<char> buffer;
    std::vector<std::string> environment;
    if (const auto account = accountOf(uid, buffer)) {
        environment.push_back(std::string("HOME=") + account->pw_dir);
        environment.push_back(std::string("USER=") + account->pw_name);
        environment.push_back(std::string("LOGNAME=") + account->pw_name);
        environment.push_back(std::string("SHELL=") + (account->pw_shell && *account->pw_shell ? account->pw_shell : "/bin/sh"));
    }
    environment.push_back(uid == 0 ? "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
                                   : "PATH=/usr/local/bin:/usr/bin:/bin");
    environment.insert(environment.end(), extras.begin(), extras.end());
    return environment;
}

std::vector<gid_t> accountGroups(uid_t uid, gid_t* primaryGroup) {
    std::vector<char> buffer;
    const auto account = accountOf(uid, buffer);
    if (!account) {
        if (primaryGroup) *primaryGroup = static_cast<gid_t>(-1);
        return {};
    }
    if (primaryGroup) *primaryGroup = account->pw_gid;
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    while (getgrouplist(account->pw_name, account->pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count) + 16);
        count = static_cast<int>(groups.size());
    }
    groups.resize(static_cast<std::size_t>(count));
    return groups;
}

}  // namespace veltrix::platform::agents
