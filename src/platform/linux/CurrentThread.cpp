#include "platform/CurrentThread.h"

#include <unistd.h>

namespace veltrix::platform {

std::uint64_t currentThreadId() { return static_cast<std::uint64_t>(gettid()); }

}  // namespace veltrix::platform
