#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

// Every machine-wide name of a Veltrix device derives from one instance root, taken from the
// environment variable VELTRIX_ROOT. Without it the normal system locations are used. Two
// devices with two roots run side by side on one machine without sharing a pipe, a section, a
// mutex, a settings store or a log folder.
namespace veltrix::platform::paths {

inline constexpr const char* kRootVariable = "VELTRIX_ROOT";

// The instance root, or an empty path for the system locations. Read on every call so tests can
// switch roots.
std::filesystem::path instanceRoot();

// Short tag naming this instance in flat namespaces (shared memory): "sys" without a root.
std::string instanceTag();

// Folder of the pipe socket and the lock files (Windows: the object namespace).
std::filesystem::path runDir();

// The common application-data folder (Windows: ProgramData). The service's and the agent's logs
// lie in commonDataDir() / "Veltrix".
std::filesystem::path commonDataDir();

// The machine-wide settings folder (system-scope stores) and the current user's settings folder.
std::filesystem::path machineConfigDir();
std::filesystem::path userConfigDir();

// The current user's local application-data folder (the GUI's log).
std::filesystem::path userDataDir();

// The paste staging folder shared by the service and the client.
std::filesystem::path pasteStagingDir();

// Where the service manager stand-in installs service units.
std::filesystem::path serviceUnitDir();

// Objects named like "Global\VeltrixFrame" or "\\.\pipe\VeltrixService": the last path
// component of a Windows-style name, which is what locates the object inside this instance.
std::string objectBaseName(std::string_view windowsStyleName);

// File behind a named shared-memory section ("/dev/shm/veltrix.<tag>.<base name>").
std::filesystem::path sectionPath(std::string_view sectionName);

// Socket standing in for a named pipe.
std::filesystem::path pipePath(std::string_view pipeName);

// The run folder's folder of one account ("users/<uid>"), which only that account may write.
std::filesystem::path userRunDir(uid_t uid);
// Lock file standing in for an account's named mutex, in that account's folder.
std::filesystem::path mutexPath(std::string_view mutexName, uid_t uid);

// Creates a folder and its parents with the given mode for the folders it creates; true when the
// folder exists afterwards.
bool ensureDirectory(const std::filesystem::path& dir, unsigned mode = 0755);

}  // namespace veltrix::platform::paths
