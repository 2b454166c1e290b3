#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

// Process snapshots: the running processes with their executable names, the full image path of
// a process, the integrity level of the caller and the folder that holds the trusted system
// programs.
namespace veltrix::platform::process {

// Mandatory integrity levels (as relative identifiers): a process at kSystemIntegrity or above is
// a system process.
inline constexpr std::uint32_t kMediumIntegrity = 0x2000;
inline constexpr std::uint32_t kSystemIntegrity = 0x4000;

// A root process started with this variable set to "medium" stands for a user-session process
// (as an agent launched with the user's token would be); nothing raises a non-root process.
inline constexpr const char* kIntegrityVariable = "VELTRIX_INTEGRITY";

// The integrity level of the calling thread's credentials: system for root, medium otherwise.
std::optional<std::uint32_t> integrityLevel();

// True when the caller runs with system rights (root, not lowered by kIntegrityVariable).
bool isSystemAccount();

// The calling process.
pid_t currentProcessId();

// The process that started the calling one; 0 when it is unknown.
pid_t parentProcessId();

struct SnapshotEntry {
    pid_t pid = 0;
    std::string exeName;  // file name of the executable, without folder
};

// The parent of a process; 0 when the process is gone or has none.
pid_t parentProcessId(pid_t pid);

// Every running process.
std::vector<SnapshotEntry> snapshotProcesses();

// The full path of a process's executable; nullopt when the process cannot be queried (it is
// gone, or belongs to another user and the caller has no rights over it).
std::optional<std::string> processImagePath(pid_t pid);

// The folder of the trusted system programs: "system32" under the instance root, else
// "/usr/lib/veltrix/system32". Only root can write there.
std::string systemDirectory();

}  // namespace veltrix::platform::process
