#pragma once

namespace veltrix {

// The client program as a capture agent without a user interface ("--headless"): a core
// application, the log "headless.log" in the common data folder, the service pipe (10 attempts
// 500 ms apart) and then only the service's messages until the service ends it. Returns the
// process exit code: the event loop's result, or 1 when the pipe could not be reached. Called
// before any other Qt object exists.
int runHeadless(int argc, char* argv[]);

}  // namespace veltrix
