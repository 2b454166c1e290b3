#pragma once

#include <memory>
#include <string>
#include <vector>

#include "agent/IScreenCaptureBackend.h"
#include "platform/DisplayMonitors.h"
#include "platform/ScreenCopy.h"

namespace veltrix {

// The fallback capture backend: copies the monitor's area of the screen on every call and draws
// the cursor into it. Needs nothing but the display itself; every frame is a full frame without
// changed regions.
class GdiCaptureBackend final : public IScreenCaptureBackend {
public:
    GdiCaptureBackend();
    ~GdiCaptureBackend() override;

    bool initialize(int monitorIndex) override;
    void shutdown() override;
    std::unique_ptr<CapturedFrame> captureFrame() override;
    std::vector<MonitorInfo> enumerateMonitors() override;
    MonitorInfo getMonitorInfo() override;
    bool isInitialized() override { return initialized_; }

private:
    std::unique_ptr<platform::ScreenCopy> screen_;
    int monitorIndex_ = 0;
    int left_ = 0;
    int top_ = 0;
    int width_ = 0;
    int height_ = 0;
    std::string name_;
    bool primary_ = false;
    bool initialized_ = false;
    platform::CursorImage cursor_;
};

}  // namespace veltrix
