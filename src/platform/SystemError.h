#pragma once

#include <string>

namespace veltrix::platform {

// The error of the last failing system call of this thread, captured at once so that later calls
// (logging included) cannot overwrite it.
struct SystemError {
    int code = 0;

    static SystemError last();
    std::string text() const;  // the system's own description, e.g. "Permission denied"
};

}  // namespace veltrix::platform
