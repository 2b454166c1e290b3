#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemError.h"

// The installing side of the service manager: create, open, stop and delete a service.
//
// Linux stand-in: a service is a systemd unit file "<name>.service" in paths::serviceUnitDir()
// (the instance's "units" folder, or /etc/systemd/system without an instance root), enabled for
// automatic start by a link in "multi-user.target.wants". In the system location systemd is asked
// to reload its units after a change when it runs.
namespace veltrix::platform::service {

struct RestartAction {
    std::uint32_t delayMs = 0;  // restart after this delay; the last action may be "none"
    bool restart = true;
};

struct ServiceDefinition {
    std::string name;
    std::string displayName;
    std::string description;
    std::filesystem::path programPath;
    // Services this one needs; "Tcpip" stands for the network being up.
    std::vector<std::string> dependencies;
    std::uint32_t failureResetPeriodSeconds = 0;
    std::vector<RestartAction> failureActions;
};

// The unit file for a definition: the program path quoted (and escaped) so a path with blanks can
// never run a different program, the instance root passed on, restart actions as close as systemd
// allows: the number of restarts bounded per reset period, the first action's delay before the
// first restart and, where systemd steps delays up (version 254 on), the last restart action's
// delay before the last restart.
std::string unitFileText(const ServiceDefinition& definition);

std::filesystem::path unitFilePath(std::string_view serviceName);

// Opening the service manager: the unit folder exists (it is created) and may be written.
bool openServiceManager(SystemError& error);

// Creates the unit; EEXIST when the service exists.
bool createService(const ServiceDefinition& definition, SystemError& error);

// Opens an installed service; ENOENT when it does not exist.
bool openService(std::string_view serviceName, SystemError& error);

// Sends the stop control to the running service (SIGTERM to the recorded process, when it runs
// this service's program); does not wait.
bool sendStopControl(std::string_view serviceName);

bool deleteService(std::string_view serviceName, SystemError& error);

}  // namespace veltrix::platform::service
