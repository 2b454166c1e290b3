#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The running side of the service manager: the dispatcher that runs a service's entry, the
// control handler it calls with stop, shutdown and session-change controls, and status reports.
//
// Linux stand-in. A process is "started by the service manager" when its environment holds
// VELTRIX_SERVICE_MANAGER (the unit files written by ServiceUnits set it, and so do tests that
// play the manager). The dispatcher runs the service entry on the calling thread; the control
// handler runs on a control thread of its own that takes SIGTERM (stop) and SIGINT (shutdown)
// from a signal descriptor and session events from the session-event source (delivered only
// while the reported status accepts session changes). Status reports go to the notification
// socket named by NOTIFY_SOCKET, in the sd_notify protocol, one datagram each:
//
//   STATUS=START_PENDING checkpoint=0 wait_hint=10000 controls=0x0
//   EXTEND_TIMEOUT_USEC=10000000
//
// with READY=1 for RUNNING and STOPPING=1 for STOP_PENDING, so systemd (Type=notify) and tests
// follow the same sequence. Without NOTIFY_SOCKET reports are only recorded.
namespace veltrix::platform::service {

inline constexpr const char* kManagerVariable = "VELTRIX_SERVICE_MANAGER";
inline constexpr const char* kNotifySocketVariable = "NOTIFY_SOCKET";

// Error of startServiceDispatcher when the process was not started as a service.
inline constexpr std::uint32_t kErrorFailedServiceControllerConnect = 1063;

inline constexpr std::uint32_t kServiceOwnProcess = 0x10;

enum ServiceState : std::uint32_t {
    kStopped = 1,
    kStartPending = 2,
    kStopPending = 3,
    kRunning = 4,
};

enum ServiceControl : std::uint32_t {
    kControlStop = 1,
    kControlInterrogate = 4,
    kControlShutdown = 5,
    kControlSessionChange = 14,
};

enum ServiceAccept : std::uint32_t {
    kAcceptStop = 0x1,
    kAcceptShutdown = 0x4,
    kAcceptSessionChange = 0x80,
};

struct ServiceStatus {
    std::uint32_t serviceType = kServiceOwnProcess;
    std::uint32_t currentState = kStopped;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

using ServiceMainFunction = void (*)();

// Called on the control thread with the control code, the event type and data of a session
// change (a sessions::SessionNotification*), and the registered context; returns 0.
using ControlHandler = std::uint32_t (*)(std::uint32_t control, std::uint32_t eventType, void* eventData,
                                         void* context);

// Identifies a registered service for status reports; 0 is no registration.
using StatusHandle = std::uintptr_t;

// Runs `entry` as the service `serviceName` when the service manager started this process and
// returns 0 once it has returned; returns kErrorFailedServiceControllerConnect at once
// otherwise. The control signals must be blocked (control::blockControlSignals) before any
// thread starts. While the entry runs, the process id is recorded in the run folder for the
// manager's stop control.
std::uint32_t startServiceDispatcher(std::string_view serviceName, ServiceMainFunction entry);

// Registers the control handler and starts the control thread; 0 when called outside a running
// dispatcher or when the thread cannot start.
StatusHandle registerServiceControlHandler(std::string_view serviceName, ControlHandler handler, void* context);

// Reports a status; false when the handle is unknown or the notification cannot be sent.
bool setServiceStatus(StatusHandle handle, const ServiceStatus& status);

// The notification text of a status.
std::string statusNotification(const ServiceStatus& status);

// "START_PENDING", "RUNNING", "STOP_PENDING", "STOPPED", ...
std::string_view serviceStateName(std::uint32_t state);

// Where the running service's process id is recorded.
std::string servicePidFilePath(std::string_view serviceName);

}  // namespace veltrix::platform::service
