#pragma once

#include <functional>
#include <memory>

#include "agent/IInputBackend.h"
#include "agent/IScreenCaptureBackend.h"
#include "agent/IVideoEncoder.h"

namespace veltrix {

// What the capture agent builds when START_CAPTURE arrives. `system()` gives the real parts; tests
// swap in fakes (a capture backend over a test picture, an input backend that records).
struct CaptureAgentFactories {
    std::function<std::unique_ptr<IInputBackend>()> makeInputBackend;
    // Tried first; the second is the fall-back when the first cannot open the monitor.
    std::function<std::unique_ptr<IScreenCaptureBackend>()> makeDuplicationBackend;
    std::function<std::unique_ptr<IScreenCaptureBackend>()> makeScreenCopyBackend;
    std::function<std::unique_ptr<IVideoEncoder>()> makeEncoder;
    // The number of monitors the system reports; above 1 the input mapping follows the captured
    // monitor.
    std::function<int()> systemMonitorCount;

    static CaptureAgentFactories system();
};

}  // namespace veltrix
