#pragma once

#include "platform/CrashHandler.h"

namespace veltrix::service {

// The service's last word before a crash ends it: the crash line (the fatal signal stands for
// the exception code) and, for a bad memory access, what was accessed; then the log is flushed.
void crashFilter(const platform::crash::CrashInfo* info);

}  // namespace veltrix::service
