#include "agent/GdiCaptureBackend.h"

#include <spdlog/spdlog.h>

#include <chrono>

namespace veltrix {
namespace {

std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

GdiCaptureBackend::GdiCaptureBackend() = default;

GdiCaptureBackend::~GdiCaptureBackend() { shutdown(); }

bool GdiCaptureBackend::initialize(int monitorIndex) {
    shutdown();
    monitorIndex_ = monitorIndex;
    const auto monitors = platform::enumerateDisplayMonitors();
    if (monitorIndex < 0 || monitorIndex >= static_cast<int>(monitors.size())) {
        spdlog::error("GdiCaptureBackend: monitor index {} not found (have {} monitors)", monitorIndex,
                      monitors.size());
        return false;
    }
    const auto& monitor = monitors[static_cast<std::size_t>(monitorIndex)];
    left_ = monitor.x;
    top_ = monitor.y;
    width_ = monitor.width;
    height_ = monitor.height;
    name_ = monitor.name;
    primary_ = monitor.primary;
    if (width_ <= 0 || height_ <= 0) {
        spdlog::error("GdiCaptureBackend: invalid monitor dimensions {}x{}", width_, height_);
        return false;
    }
    screen_ = platform::ScreenCopy::open();
    if (!screen_) {
        spdlog::error("GdiCaptureBackend: GetDC failed");
        return false;
    }
    initialized_ = true;
    spdlog::info("GdiCaptureBackend: initialized on monitor {} '{}' ({}x{}) [GDI fallback]", monitorIndex, name_,
                 width_, height_);
    return true;
}

void GdiCaptureBackend::shutdown() {
    screen_.reset();
    initialized_ = false;
}

std::unique_ptr<CapturedFrame> GdiCaptureBackend::captureFrame() {
    if (!initialized_) return nullptr;
    auto frame = std::make_unique<CapturedFrame>();
    frame->width = width_;
    frame->height = height_;
    frame->stride = width_ * 4;
    frame->fullFrame = false;
    // The screen is copied straight into the frame's own pixels: no intermediate bitmap.
    frame->pixels.resize(static_cast<std::size_t>(frame->stride) * static_cast<std::size_t>(height_));
    if (!screen_->copy(left_, top_, width_, height_, frame->pixels.data(), frame->stride)) {
        spdlog::warn("GdiCaptureBackend: BitBlt failed");
        return nullptr;
    }
    frame->timestampMs = steadyMilliseconds();
    if (screen_->cursor(cursor_)) {
        platform::drawCursor(cursor_, frame->pixels.data(), width_, height_, frame->stride,
                             cursor_.x - cursor_.hotX - left_, cursor_.y - cursor_.hotY - top_);
    }
    return frame;
}

std::vector<MonitorInfo> GdiCaptureBackend::enumerateMonitors() {
    std::vector<MonitorInfo> list;
    for (const auto& monitor : platform::enumerateDisplayMonitors()) {
        MonitorInfo info;
        info.index = static_cast<int>(list.size());
        info.name = monitor.name;
        info.x = monitor.x;
        info.y = monitor.y;
        info.width = monitor.width;
        info.height = monitor.height;
        info.primary = monitor.primary;
        list.push_back(std::move(info));
    }
    return list;
}

MonitorInfo GdiCaptureBackend::getMonitorInfo() {
    MonitorInfo info;
    info.index = monitorIndex_;
    info.name = name_;
    info.x = left_;
    info.y = top_;
    info.width = width_;
    info.height = height_;
    info.primary = primary_;
    return info;
}

}  // namespace veltrix
