#pragma once

namespace veltrix::test {

// Lets the media framework's worker threads finish before the test program exits.
//
// Pipelines set to their null state hand their streaming threads back to GStreamer's task pool and
// GLib's thread pools, which end them later on their own. The leak checker runs at exit; a thread
// that is still ending then holds per-thread library state (OpenSSL's among it) that the checker
// reports as lost. This waits for the pools' threads to be joined and for the thread count to
// settle, so the check runs on a quiet process. A no-op when the program never started GStreamer.
void quiesceMediaThreads();

} // namespace veltrix::test
