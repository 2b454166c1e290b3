#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "agent/IScreenCaptureBackend.h"
#include "platform/DesktopDuplication.h"

namespace veltrix {

// The preferred capture backend: desktop duplication of one monitor. Waits up to 100 ms for the
// picture to change, reports the changed regions the duplication supplies, draws the cursor
// into the frame, and repairs a lost duplication in place up to five times in a row.
class DxgiCaptureBackend final : public IScreenCaptureBackend {
public:
    DxgiCaptureBackend();
    ~DxgiCaptureBackend() override;

    bool initialize(int monitorIndex) override;
    void shutdown() override;
    std::unique_ptr<CapturedFrame> captureFrame() override;
    std::vector<MonitorInfo> enumerateMonitors() override;
    MonitorInfo getMonitorInfo() override;
    bool isInitialized() override { return initialized_; }

private:
    bool createDuplication(int index);
    bool reinitialize();
    void releaseDuplication();
    void drawCursor(CapturedFrame& frame);

    std::unique_ptr<platform::DuplicationDevice> device_;
    std::unique_ptr<platform::OutputDuplication> duplication_;
    // The size of the frames copied so far; a change is logged once.
    struct StagingSize {
        int width = 0;
        int height = 0;
    };
    std::optional<StagingSize> staging_;
    std::optional<platform::DisplayMonitor> output_;
    int monitorIndex_ = 0;
    bool initialized_ = false;
    int reinitAttempts_ = 0;
    std::vector<platform::ScreenRect> rectScratch_;
    platform::CursorImage cursor_;
};

}  // namespace veltrix
