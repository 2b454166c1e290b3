#pragma once

#include <string>

namespace veltrix::platform {

// The error of the last failing system call of this thread, captured at once so that later calls
// (logging included) cannot overwrite it.
struct SystemError {
    int code = 0;

    static SystemError last();
    // The code beside the system's own description, e.g. "13: Permission denied", so a log line
    // names the error exactly even where descriptions are translated or ambiguous.
    std::string text() const;
};

}  // namespace veltrix::platform
