#pragma once

#include <chrono>
#include <functional>

namespace veltrix::test {

// Spins the event loop until `done` holds or the time is up; returns `done`().
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace veltrix::test
