#pragma once

#include <cstdint>
#include <mutex>

#include "platform/ServiceManager.h"

namespace veltrix::service {

// The service's status record and its reports to the service manager. Pending reports carry a
// check point from a counter that grows with every pending report; RUNNING and STOPPED carry 0.
// Both the Qt thread and the control thread report, so the record is guarded by a mutex.
class ServiceStatusReporter {
public:
    // Stop, shutdown and session change.
    static constexpr std::uint32_t kRunningControls = platform::service::kAcceptStop |
                                                      platform::service::kAcceptShutdown |
                                                      platform::service::kAcceptSessionChange;
    static constexpr std::uint32_t kStopPendingWaitHintMs = 5000;

    void setHandle(platform::service::StatusHandle handle);

    void reportStartPending(std::uint32_t waitHintMs);
    void reportRunning();
    void reportStopPending();
    void reportStopped();

    // The answer to a control that changes nothing: the current state reported again with wait
    // hint 0 (a fresh check point while starting), nothing once stopping or stopped.
    void reportCurrentAgain();

    platform::service::ServiceStatus current() const;
    // Reports made so far (sent or not).
    std::uint32_t reportCount() const;

private:
    void report(std::uint32_t state, std::uint32_t controls, bool pending, std::uint32_t waitHintMs);
    void reportLocked(std::uint32_t state, std::uint32_t controls, bool pending, std::uint32_t waitHintMs);

    mutable std::mutex mutex_;
    platform::service::StatusHandle handle_ = 0;
    platform::service::ServiceStatus status_;
    std::uint32_t checkPointCounter_ = 0;
    std::uint32_t reports_ = 0;
};

}  // namespace veltrix::service
