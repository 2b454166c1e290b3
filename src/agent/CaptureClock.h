#pragma once

#include <chrono>
#include <memory>

namespace veltrix {

// The time source of the capture thread: reading the steady clock and sleeping on it. Tests give
// the capture manager a virtual clock so that pacing and back-off run without real waits.
class CaptureClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~CaptureClock() = default;
    virtual TimePoint now() = 0;
    virtual void sleepFor(std::chrono::nanoseconds duration) = 0;
    virtual void sleepUntil(TimePoint deadline) = 0;

    // The real steady clock.
    static std::shared_ptr<CaptureClock> steady();
};

}  // namespace veltrix
