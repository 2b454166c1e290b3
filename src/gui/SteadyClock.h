#pragma once

#include <chrono>
#include <cstdint>

namespace veltrix {

// Milliseconds on the steady clock: the default time source of the client's timers that tests
// replace with a clock of their own.
inline std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace veltrix
