#include "agent/CaptureClock.h"

#include <thread>

namespace veltrix {
namespace {

class SteadyCaptureClock final : public CaptureClock {
public:
    TimePoint now() override { return std::chrono::steady_clock::now(); }
    void sleepFor(std::chrono::nanoseconds duration) override { std::this_thread::sleep_for(duration); }
    void sleepUntil(TimePoint deadline) override { std::this_thread::sleep_until(deadline); }
};

}  // namespace

std::shared_ptr<CaptureClock> CaptureClock::steady() {
    static const auto clock = std::make_shared<SteadyCaptureClock>();
    return clock;
}

}  // namespace veltrix
