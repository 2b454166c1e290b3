#pragma once

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/ProcessInfo.h"
#include "platform/SystemError.h"

// Starting the capture agent as another account and ending it again (stands in for
// CreateProcessAsUser / CreateProcessWithToken and TerminateProcess).
//
// Linux stand-in: fork and exec with the account's uid, gid and supplementary groups, an
// environment built from scratch (nothing of the service's own is inherited) and a working
// directory. The child is reaped by a waiter thread, so it never lingers as a zombie, and the
// record keeps its start time beside its id: terminating a process whose id was reused by
// another program does nothing.
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

struct LaunchedProcess {
    pid_t pid = 0;
    process::ProcessTime startTime{0};
};

// Starts the program; nullopt with the errno of the failing step (fork, or the child's
// set-credentials, chdir or exec, reported back through a close-on-exec pipe).
std::optional<LaunchedProcess> launch(const LaunchSpec& spec, SystemError& error);

// Whether the recorded process still runs (and is the same process).
bool isRunning(const LaunchedProcess& process);

// Ends the recorded process (SIGKILL) if it is still the same process, then waits up to
// `waitMs` for it to be gone. Harmless for a process that already ended.
void terminate(const LaunchedProcess& process, int waitMs);

// The environment an agent of account `uid` gets: HOME, USER, LOGNAME, SHELL and PATH of the
// account, plus the given extras ("NAME=value").
std::vector<std::string> accountEnvironment(uid_t uid, const std::vector<std::string>& extras);

// The supplementary groups of an account (its primary group included).
std::vector<gid_t> accountGroups(uid_t uid, gid_t* primaryGroup);

}  // namespace veltrix::platform::agents
