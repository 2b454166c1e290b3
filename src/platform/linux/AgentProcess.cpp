#include "platform/AgentProcess.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace veltrix::platform::agents {
namespace {

// The process-descriptor calls, made directly: the C library's declarations of them cannot be
// used from C++ in every version.
int openProcessDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0u)); }

int signalThroughDescriptor(int descriptor, int signalNumber) {
    return static_cast<int>(syscall(SYS_pidfd_send_signal, descriptor, signalNumber, nullptr, 0u));
}

// Where the child keeps its end of the report pipe: the first descriptor after the standard ones.
constexpr int kReportFd = 3;

std::optional<passwd> accountOf(uid_t uid, std::vector<char>& buffer) {
    buffer.assign(16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    return entry;
}

// Moves a descriptor above the standard ones (a service started with one of them closed gets low
// numbers back), keeping it close-on-exec.
int aboveStandardDescriptors(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, kReportFd + 1);
    ::close(fd);
    return moved;
}

// What the child needs, all prepared before fork: a child of a threaded process may only make
// async-signal-safe calls.
struct ChildSetup {
    const LaunchSpec* spec = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    int reportFd = -1;        // above the standard descriptors
    int nullFd = -1;          // /dev/null, above the standard descriptors
    int descriptorLimit = 0;  // where closing one by one may stop
};

// Every signal at its default action: the service's handlers mean nothing in the program, and an
// ignored signal would stay ignored across exec.
void resetSignalActions() {
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber) {
        if (signalNumber == SIGKILL || signalNumber == SIGSTOP) continue;
        // The C library refuses the signals it keeps for itself; they are no program's.
        sigaction(signalNumber, &action, nullptr);
    }
}

void closeDescriptorsFrom(int first, int limit) {
    if (close_range(static_cast<unsigned>(first), ~0u, 0) == 0) return;
    for (int fd = first; fd < limit; ++fd) ::close(fd);
}

// The child's side: everything here is async-signal-safe. A failure writes its errno to the pipe.
[[noreturn]] void runChild(const ChildSetup& setup) {
    int reportFd = setup.reportFd;
    const auto fail = [&reportFd] {
        const int code = errno;
        (void)!write(reportFd, &code, sizeof code);
        _exit(127);
    };
    resetSignalActions();
    // The program gets the standard descriptors on /dev/null and nothing else of the service's:
    // not its log, sockets, sections or locks, whether or not they were opened close-on-exec.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (dup2(setup.nullFd, fd) < 0) fail();
    }
    if (reportFd != kReportFd) {
        if (dup3(reportFd, kReportFd, O_CLOEXEC) < 0) fail();
        reportFd = kReportFd;
    }
    closeDescriptorsFrom(kReportFd + 1, setup.descriptorLimit);

    const LaunchSpec& spec = *setup.spec;
    // An account that is already this process's (a service that does not run as root) keeps
    // its credentials; any other is taken whole: groups, group, then user.
    if (geteuid() != spec.uid || getegid() != spec.gid) {
        if (setgroups(spec.groups.size(), spec.groups.data()) != 0) fail();
        if (setgid(spec.gid) != 0) fail();
        if (setuid(spec.uid) != 0) fail();
    }
    if (!spec.workingDirectory.empty() && chdir(spec.workingDirectory.c_str()) != 0) fail();
    // Last: the service runs with its stop signals blocked, and the program must not start with
    // them blocked (it could not be stopped, nor could anything it starts).
    sigset_t none;
    sigemptyset(&none);
    if (sigprocmask(SIG_SETMASK, &none, nullptr) != 0) fail();
    execve(spec.program.c_str(), setup.argv, setup.envp);
    fail();
    _exit(127);
}

bool hasEnded(int descriptor, int waitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ended{descriptor, POLLIN, 0};
        const int ready = poll(&ended, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ready > 0) return true;
        if (ready == 0) return false;
        if (errno != EINTR) return true;  // a descriptor that cannot be watched names no running process
    }
}

}  // namespace

ProcessDescriptor::~ProcessDescriptor() {
    if (fd_ >= 0) ::close(fd_);
}

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
    report[0] = aboveStandardDescriptors(report[0]);
    report[1] = aboveStandardDescriptors(report[1]);
    const int nullFd = aboveStandardDescriptors(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (report[0] < 0 || report[1] < 0 || nullFd < 0) {
        error = SystemError::last();
        for (const int fd : {report[0], report[1], nullFd}) {
            if (fd >= 0) ::close(fd);
        }
        return std::nullopt;
    }
    rlimit descriptors{};
    ChildSetup setup;
    setup.spec = &spec;
    setup.argv = argv.data();
    setup.envp = envp.data();
    setup.reportFd = report[1];
    setup.nullFd = nullFd;
    setup.descriptorLimit = getrlimit(RLIMIT_NOFILE, &descriptors) == 0 && descriptors.rlim_cur < 1u << 20
                                ? static_cast<int>(descriptors.rlim_cur)
                                : 1 << 20;

    const pid_t pid = fork();
    if (pid < 0) {
        error = SystemError::last();
        for (const int fd : {report[0], report[1], nullFd}) ::close(fd);
        return std::nullopt;
    }
    if (pid == 0) runChild(setup);
    ::close(report[1]);
    ::close(nullFd);

    // The id still names the child here: only this process reaps it, and only through the waiter
    // started below, so it cannot have been reaped and given to another process yet.
    const int pidfd = openProcessDescriptor(pid);
    if (pidfd < 0) {
        error = SystemError::last();
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        ::close(report[0]);
        return std::nullopt;
    }
    LaunchedProcess launched;
    launched.pid = pid;
    launched.descriptor = std::make_shared<const ProcessDescriptor>(pidfd);

    int childError = 0;
    ssize_t got;
    do {
        got = read(report[0], &childError, sizeof childError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);

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
    return launched;
}

bool isRunning(const LaunchedProcess& process) {
    return process.descriptor && !hasEnded(process.descriptor->fd(), 0);
}

void terminate(const LaunchedProcess& process, int waitMs) {
    if (!isRunning(process)) return;
    // Through the descriptor: a process that ended meanwhile gets nothing (ESRCH), and no process
    // that took its id after it can be reached.
    if (signalThroughDescriptor(process.descriptor->fd(), SIGKILL) != 0) return;
    hasEnded(process.descriptor->fd(), waitMs);
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
