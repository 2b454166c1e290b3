#pragma once

#include <cstdint>

namespace veltrix {

// An agent process the service launched itself, as its records know it.
struct LaunchedAgent {
    std::uint32_t sessionId = 0;  // the terminal session it was launched into
    bool headless = false;        // the headless agent (the service's own account), else the user-session agent

    bool operator==(const LaunchedAgent&) const = default;
};

}  // namespace veltrix
