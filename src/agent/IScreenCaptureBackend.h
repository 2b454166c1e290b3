#pragma once

#include <memory>
#include <vector>

#include "agent/CapturedFrame.h"
#include "agent/MonitorInfo.h"

namespace veltrix {

// One way of reading a monitor's picture. The agent's main thread initialises the backend and
// asks for monitors before capture starts; from then on only the capture thread uses it.
class IScreenCaptureBackend {
public:
    virtual ~IScreenCaptureBackend() = default;

    // Shuts down whatever is open, remembers the index and opens that monitor.
    virtual bool initialize(int monitorIndex) = 0;
    // Releases everything; the remembered index survives.
    virtual void shutdown() = 0;
    // A new frame, or null when nothing changed or capture failed.
    virtual std::unique_ptr<CapturedFrame> captureFrame() = 0;
    virtual std::vector<MonitorInfo> enumerateMonitors() = 0;
    // The current monitor; its index is the remembered one even when not initialised.
    virtual MonitorInfo getMonitorInfo() = 0;
    virtual bool isInitialized() = 0;
};

}  // namespace veltrix
