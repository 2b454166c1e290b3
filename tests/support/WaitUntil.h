#pragma once

#include <chrono>
#include <functional>

namespace veltrix::test {

// Runs this thread's event loop until `done` holds or `limit` passes; returns the last `done`().
// Between checks it sleeps in the event loop rather than spinning, so parallel suites keep the CPU.
bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30));

// Runs this thread's event loop for `duration`, for tests that watch what does not happen.
void runEventsFor(std::chrono::milliseconds duration);

}  // namespace veltrix::test
