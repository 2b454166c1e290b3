#include "service/ServiceStatusReporter.h"

namespace veltrix::service {

namespace sm = platform::service;

void ServiceStatusReporter::setHandle(sm::StatusHandle handle) {
    std::lock_guard lock(mutex_);
    handle_ = handle;
}

void ServiceStatusReporter::report(std::uint32_t state, std::uint32_t controls, bool pending,
                                   std::uint32_t waitHintMs) {
    std::lock_guard lock(mutex_);
    reportLocked(state, controls, pending, waitHintMs);
}

void ServiceStatusReporter::reportLocked(std::uint32_t state, std::uint32_t controls, bool pending,
                                         std::uint32_t waitHintMs) {
    status_.serviceType = sm::kServiceOwnProcess;
    status_.currentState = state;
    status_.controlsAccepted = controls;
    status_.win32ExitCode = 0;
    status_.serviceSpecificExitCode = 0;
    status_.checkPoint = pending ? checkPointCounter_++ : 0;
    status_.waitHint = waitHintMs;
    ++reports_;
    if (handle_ != 0) sm::setServiceStatus(handle_, status_);
}

void ServiceStatusReporter::reportStartPending(std::uint32_t waitHintMs) {
    report(sm::kStartPending, 0, true, waitHintMs);
}

void ServiceStatusReporter::reportRunning() { report(sm::kRunning, kRunningControls, false, 0); }

void ServiceStatusReporter::reportStopPending() {
    report(sm::kStopPending, kRunningControls, true, kStopPendingWaitHintMs);
}

void ServiceStatusReporter::reportStopped() { report(sm::kStopped, kRunningControls, false, 0); }

void ServiceStatusReporter::reportCurrentAgain() {
    std::lock_guard lock(mutex_);
    const std::uint32_t state = status_.currentState;
    if (state == sm::kStopped || state == sm::kStopPending) return;
    if (state == sm::kStartPending) {
        reportLocked(sm::kStartPending, 0, true, 0);
    } else {
        reportLocked(state, kRunningControls, false, 0);
    }
}

sm::ServiceStatus ServiceStatusReporter::current() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::uint32_t ServiceStatusReporter::reportCount() const {
    std::lock_guard lock(mutex_);
    return reports_;
}

}  // namespace veltrix::service
