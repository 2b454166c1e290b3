#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/SystemError.h"

// What the service learns about another process: when it started, which program file it runs,
// and with which credentials (stands in for OpenProcess, GetProcessTimes,
// QueryFullProcessImageName and the process token).
namespace veltrix::platform::process {

// Time on the process table's clock (since boot). Start times have its tick resolution (10 ms):
// they are rounded down, so a process that started before a moment never reads as later.
using ProcessTime = std::chrono::nanoseconds;

ProcessTime now();

// The full path of the running program file; empty when it cannot be read.
std::filesystem::path ownProgramPath();

// The credentials a process acts with now (its "token").
struct Credentials {
    uid_t effectiveUid = 0;
    gid_t effectiveGid = 0;
    std::vector<gid_t> groups;  // supplementary groups

    bool isMember(gid_t gid) const;
};

// An open process. Every query goes through the process's own /proc folder, opened once, so the
// answers belong to the process that was opened even if its id is reused later (queries then
// fail with ESRCH).
class ProcessHandle {
public:
    ProcessHandle() = default;
    ~ProcessHandle();
    ProcessHandle(ProcessHandle&& other) noexcept;
    ProcessHandle& operator=(ProcessHandle&& other) noexcept;
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    static ProcessHandle open(pid_t pid, SystemError& error);

    bool isValid() const { return dirFd_ >= 0; }
    pid_t pid() const { return pid_; }

    std::optional<ProcessTime> startTime(SystemError& error) const;
    // The resolved path of the program file the process runs (" (deleted)" is appended by the
    // kernel when that file was removed or replaced).
    std::optional<std::filesystem::path> imagePath(SystemError& error) const;
    std::optional<Credentials> credentials(SystemError& error) const;

private:
    int dirFd_ = -1;
    pid_t pid_ = 0;
};

// The administrators group of this instance: the group named by "service/adminGroup" in the
// instance configuration, "veltrix-admins" by default. Root and the members of that group are
// administrators.
std::string administratorsGroupName();
// Its group id; nothing when no such group exists (then only root is an administrator).
std::optional<gid_t> administratorsGroupId();

bool isAdministrator(const Credentials& credentials);

}  // namespace veltrix::platform::process
