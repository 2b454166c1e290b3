#include "agent/DxgiCaptureBackend.h"

#include <spdlog/spdlog.h>

#include <chrono>
#include <cstring>

namespace veltrix {
namespace {

using platform::DuplicationStatus;

constexpr auto kAcquireTimeout = std::chrono::milliseconds(100);
constexpr int kMaxReinitAttempts = 5;

std::uint32_t code(DuplicationStatus status) { return static_cast<std::uint32_t>(status); }

std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Copies the picture row by row into a packed frame. The screen's 24-bit colour leaves the fourth
// byte undefined; it is made opaque on the way, in the same pass.
void copyOpaque(const platform::DuplicatedFrame& source, std::uint8_t* destination) {
    const std::size_t width = static_cast<std::size_t>(source.width);
    for (int y = 0; y < source.height; ++y) {
        const std::uint8_t* row = source.pixels + static_cast<std::ptrdiff_t>(source.pitch) * y;
        std::uint8_t* out = destination + width * 4 * static_cast<std::size_t>(y);
        for (std::size_t x = 0; x < width; ++x) {
            std::uint32_t pixel;
            std::memcpy(&pixel, row + x * 4, 4);
            pixel |= 0xFF000000u;
            std::memcpy(out + x * 4, &pixel, 4);
        }
    }
}

MonitorInfo toMonitorInfo(int index, const platform::DisplayMonitor& monitor) {
    MonitorInfo info;
    info.index = index;
    info.name = monitor.name;
    info.x = monitor.x;
    info.y = monitor.y;
    info.width = monitor.width;
    info.height = monitor.height;
    // This backend calls the monitor at the desktop's origin the primary one.
    info.primary = monitor.x == 0 && monitor.y == 0;
    return info;
}

}  // namespace

DxgiCaptureBackend::DxgiCaptureBackend() = default;

DxgiCaptureBackend::~DxgiCaptureBackend() { shutdown(); }

bool DxgiCaptureBackend::initialize(int monitorIndex) {
    shutdown();
    monitorIndex_ = monitorIndex;
    DuplicationStatus status = DuplicationStatus::Ok;
    device_ = platform::DuplicationDevice::create(status);
    if (!device_) {
        spdlog::error("DxgiCaptureBackend: D3D11CreateDevice failed (0x{:08X})", code(status));
        spdlog::error("DxgiCaptureBackend: failed to create D3D11 device");
        return false;
    }
    spdlog::debug("DxgiCaptureBackend: D3D11 device created (feature level 0x{:04X})", device_->featureLevel());
    if (!createDuplication(monitorIndex)) {
        spdlog::error("DxgiCaptureBackend: failed to create output duplication for monitor {}", monitorIndex);
        return false;
    }
    initialized_ = true;
    reinitAttempts_ = 0;
    spdlog::info("DxgiCaptureBackend: initialized on monitor {} ({}x{})", monitorIndex, output_->width,
                 output_->height);
    return true;
}

void DxgiCaptureBackend::releaseDuplication() {
    if (duplication_) duplication_->releaseFrame();
    staging_.reset();
    duplication_.reset();
    output_.reset();
}

void DxgiCaptureBackend::shutdown() {
    releaseDuplication();
    device_.reset();
    initialized_ = false;
    reinitAttempts_ = 0;
}

bool DxgiCaptureBackend::createDuplication(int index) {
    if (!device_) return false;
    const auto outputs = device_->outputs();
    if (index < 0 || index >= static_cast<int>(outputs.size())) {
        spdlog::error("DxgiCaptureBackend: monitor index {} not found", index);
        return false;
    }
    output_ = outputs[static_cast<std::size_t>(index)];
    DuplicationStatus status = DuplicationStatus::Ok;
    duplication_ = device_->duplicateOutput(index, status);
    if (!duplication_) {
        spdlog::error("DxgiCaptureBackend: DuplicateOutput failed (0x{:08X})", code(status));
        return false;
    }
    return true;
}

bool DxgiCaptureBackend::reinitialize() {
    if (++reinitAttempts_ > kMaxReinitAttempts) {
        spdlog::error("DxgiCaptureBackend: max reinitialization attempts ({}) exceeded", kMaxReinitAttempts);
        return false;
    }
    spdlog::info("DxgiCaptureBackend: reinitializing (attempt {}/{})", reinitAttempts_, kMaxReinitAttempts);
    releaseDuplication();
    if (createDuplication(monitorIndex_)) {
        spdlog::info("DxgiCaptureBackend: reinitialization successful");
        return true;
    }
    spdlog::error("DxgiCaptureBackend: reinit createDuplication failed");
    return false;
}

std::unique_ptr<CapturedFrame> DxgiCaptureBackend::captureFrame() {
    if (!initialized_) return nullptr;

    platform::DuplicatedFrame acquired;
    const DuplicationStatus status = duplication_->acquireNextFrame(kAcquireTimeout, acquired);
    if (status == DuplicationStatus::WaitTimeout) return nullptr;
    if (status == DuplicationStatus::AccessLost) {
        spdlog::warn("DxgiCaptureBackend: access lost -- attempting reinitialization");
        if (!reinitialize()) {
            spdlog::error("DxgiCaptureBackend: reinitialization failed");
            // Hand the rest to the manager's recovery, which re-initialises from scratch.
            releaseDuplication();
            initialized_ = false;
        }
        return nullptr;
    }
    if (status != DuplicationStatus::Ok) {
        spdlog::error("DxgiCaptureBackend: AcquireNextFrame failed (0x{:08X})", code(status));
        return nullptr;
    }

    if (staging_ && (staging_->width != acquired.width || staging_->height != acquired.height)) {
        spdlog::info("DxgiCaptureBackend: resolution changed to {}x{}", acquired.width, acquired.height);
        staging_.reset();
    }
    if (!staging_) staging_ = StagingSize{acquired.width, acquired.height};

    auto frame = std::make_unique<CapturedFrame>();
    if (acquired.hasMetadata) {
        // The duplication reports no moved regions here, only changed ones.
        if (const auto result = duplication_->frameDirtyRects(rectScratch_); result == DuplicationStatus::Ok) {
            frame->dirtyRects.reserve(rectScratch_.size());
            for (const auto& r : rectScratch_) frame->dirtyRects.push_back({r.x, r.y, r.width, r.height});
        } else {
            spdlog::warn("DxgiCaptureBackend: GetFrameDirtyRects failed (0x{:08X})", code(result));
        }
    }

    frame->width = acquired.width;
    frame->height = acquired.height;
    frame->stride = acquired.width * 4;
    frame->timestampMs = steadyMilliseconds();
    frame->fullFrame = false;
    frame->pixels.resize(static_cast<std::size_t>(frame->stride) * static_cast<std::size_t>(frame->height));
    copyOpaque(acquired, frame->pixels.data());
    duplication_->releaseFrame();

    drawCursor(*frame);
    reinitAttempts_ = 0;
    return frame;
}

void DxgiCaptureBackend::drawCursor(CapturedFrame& frame) {
    if (!device_ || !output_ || !device_->cursor(cursor_)) return;
    const int left = cursor_.x - output_->x - cursor_.hotX;
    const int top = cursor_.y - output_->y - cursor_.hotY;
    platform::drawCursor(cursor_, frame.pixels.data(), frame.width, frame.height, frame.stride, left, top);
}

std::vector<MonitorInfo> DxgiCaptureBackend::enumerateMonitors() {
    std::vector<MonitorInfo> list;
    const auto adapters = platform::enumerateDisplayAdapters();
    if (!adapters) {
        spdlog::error("DxgiCaptureBackend: CreateDXGIFactory1 failed (0x{:08X})", code(DuplicationStatus::Unavailable));
        return list;
    }
    for (const auto& adapter : *adapters) {
        for (const auto& monitor : adapter.monitors) list.push_back(toMonitorInfo(static_cast<int>(list.size()), monitor));
    }
    return list;
}

MonitorInfo DxgiCaptureBackend::getMonitorInfo() {
    if (!output_) {
        MonitorInfo info;
        info.index = monitorIndex_;
        return info;
    }
    return toMonitorInfo(monitorIndex_, *output_);
}

}  // namespace veltrix
