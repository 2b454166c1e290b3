#pragma once

namespace veltrix {

// One info line about how this client process was started: "VeltrixClient started: mode={}
// integrity={} pid={} session={} parent_pid={} parent_image={}". `mode` is "gui" or "headless".
void logStartupDiagnostics(const char* mode);

// The name of a mandatory integrity level (its relative identifier).
const char* integrityName(unsigned level);

}  // namespace veltrix
