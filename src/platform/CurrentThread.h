#pragma once

#include <cstdint>

namespace veltrix::platform {

// The operating system's id of the calling thread (as shown by process tools).
std::uint64_t currentThreadId();

}  // namespace veltrix::platform
