#include "platform/SystemError.h"

#include <cerrno>
#include <cstring>

namespace veltrix::platform {

SystemError SystemError::last() { return SystemError{errno}; }

std::string SystemError::text() const { return std::to_string(code) + ": " + std::strerror(code); }

}  // namespace veltrix::platform
