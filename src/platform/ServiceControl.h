#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The controlling side of the service manager, as the desktop client uses it: read a service's
// state, start it, stop it (OpenSCManager, OpenService, QueryServiceStatus, StartService,
// ControlService).
//
// Linux stand-in: a control program, "systemctl" unless "service/control_program" in the instance
// file names another (tests name a fake). The state comes from
//   <program> show -p LoadState,ActiveState <name>.service
// ActiveState "active" is running, "activating" start-pending, "deactivating" stop-pending,
// anything else stopped. LoadState "not-found", a missing program, a failing or hanging one mean
// the service cannot be opened. Start and stop run "<program> start|stop <name>.service".
namespace veltrix::platform::servicecontrol {

inline constexpr std::chrono::milliseconds kProgramTimeout{5000};

// The program in force.
std::string controlProgram();

// A service state of ServiceManager.h (kStopped ... kRunning); nothing when the service cannot
// be opened or queried.
std::optional<std::uint32_t> queryState(std::string_view serviceName);

// Runs start or stop; false with the program's exit code (or -1 when it did not run or timed out).
bool startService(std::string_view serviceName, int& exitCode);
bool stopService(std::string_view serviceName, int& exitCode);

}  // namespace veltrix::platform::servicecontrol
