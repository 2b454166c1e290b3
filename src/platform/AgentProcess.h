#pragma once

#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/SystemError.h"

// Starting the capture agent as another account and ending it again (stands in for
// CreateProcessAsUser / CreateProcessWithToken and TerminateProcess).
//
// Linux stand-in: fork and exec with the account's uid, gid and supplementary groups, an
// environment built from scratch (nothing of the service's own is inherited) and a working
// directory. The program starts clean: standard input, output and error on /dev/null and no other
// descriptor of the service, every signal unblocked and at its default action. The child is held
// by a process descriptor, so signals and waits reach that very process and never another that
// was given its id after it ended; a waiter thread reaps it, so it never lingers as a zombie.
namespace veltrix::platform::agents {

struct LaunchSpec {
    std::string program;                 // full path
    std::vector<std::string> arguments;  // after the program name
    std::string workingDirectory;
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
    std::vector<std::string> environment;  // "NAME=value", the whole environment
};

// The hold on a started process (a process descriptor). It keeps naming that process after it
// has ended; closed with the last record that shares it.
class ProcessDescriptor {
public:
    explicit ProcessDescriptor(int fd) : fd_(fd) {}
    ~ProcessDescriptor();
    ProcessDescriptor(const ProcessDescriptor&) = delete;
    ProcessDescriptor& operator=(const ProcessDescriptor&) = delete;

    int fd() const { return fd_; }

private:
    int fd_;
};

struct LaunchedProcess {
    pid_t pid = 0;  // for logs and for matching a peer's credentials; never signalled by itself
    // Shared by every copy of the record; empty in a record that holds no process.
    std::shared_ptr<const ProcessDescriptor> descriptor;
};

// Starts the program; nullopt with the errno of the failing step (fork, the process descriptor,
// or the child's set-credentials, chdir or exec, reported back through a close-on-exec pipe).
std::optional<LaunchedProcess> launch(const LaunchSpec& spec, SystemError& error);

// Whether the recorded process has not ended yet.
bool isRunning(const LaunchedProcess& process);

// Ends the recorded process (SIGKILL through its descriptor), then waits up to `waitMs` for it to
// be gone. Harmless for a process that already ended.
void terminate(const LaunchedProcess& process, int waitMs);

// The environment an agent of account `uid` gets: HOME, USER, LOGNAME, SHELL and PATH of the
// account, plus the given extras ("NAME=value").
std::vector<std::string> accountEnvironment(uid_t uid, const std::vector<std::string>& extras);

// The supplementary groups of an account (its primary group included).
std::vector<gid_t> accountGroups(uid_t uid, gid_t* primaryGroup);

}  // namespace veltrix::platform::agents
