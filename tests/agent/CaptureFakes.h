#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "agent/CaptureClock.h"
#include "agent/IScreenCaptureBackend.h"

namespace veltrix::test {

// A virtual steady clock: sleeping advances its time at once and is recorded.
class FakeCaptureClock final : public CaptureClock {
public:
    TimePoint now() override { return TimePoint(std::chrono::nanoseconds(nanos_.load())); }
    void sleepFor(std::chrono::nanoseconds duration) override {
        {
            std::lock_guard lock(mutex_);
            slices_.push_back(duration);
        }
        nanos_ += duration.count();
        std::this_thread::yield();
    }
    void sleepUntil(TimePoint deadline) override {
        const auto wait = deadline - now();
        {
            std::lock_guard lock(mutex_);
            pacing_.push_back(wait);
        }
        if (wait.count() > 0) nanos_ += wait.count();
        std::this_thread::yield();
    }
    void advance(std::chrono::nanoseconds d) { nanos_ += d.count(); }

    std::vector<std::chrono::nanoseconds> slices() const {
        std::lock_guard lock(mutex_);
        return slices_;
    }
    std::vector<std::chrono::nanoseconds> pacing() const {
        std::lock_guard lock(mutex_);
        return pacing_;
    }

private:
    std::atomic<long long> nanos_{1'000'000'000};
    mutable std::mutex mutex_;
    std::vector<std::chrono::nanoseconds> slices_;
    std::vector<std::chrono::nanoseconds> pacing_;
};

// A backend driven by the test: `onCapture(n)` makes the n-th frame (1-based), `onInitialize`
// decides each initialisation. parkAt(n) blocks the n-th capture call until release().
class FakeCaptureBackend final : public IScreenCaptureBackend {
public:
    std::function<std::unique_ptr<CapturedFrame>(int call, FakeCaptureBackend& self)> onCapture;
    std::function<bool(int index)> onInitialize;

    bool initialize(int monitorIndex) override {
        std::lock_guard lock(mutex_);
        index_ = monitorIndex;
        initIndices_.push_back(monitorIndex);
        initialized_ = onInitialize ? onInitialize(monitorIndex) : true;
        return initialized_;
    }
    void shutdown() override { initialized_ = false; }
    std::unique_ptr<CapturedFrame> captureFrame() override {
        const int call = ++calls_;
        {
            std::unique_lock lock(parkMutex_);
            if (call == parkAt_) {
                parked_ = true;
                parkChanged_.notify_all();
                parkChanged_.wait(lock, [this] { return !parked_; });
            }
        }
        if (!initialized_) return nullptr;
        return onCapture ? onCapture(call, *this) : nullptr;
    }
    std::vector<MonitorInfo> enumerateMonitors() override { return {}; }
    MonitorInfo getMonitorInfo() override {
        MonitorInfo info;
        info.index = index_.load();
        return info;
    }
    bool isInitialized() override { return initialized_; }

    void markLost() { initialized_ = false; }
    int calls() const { return calls_.load(); }
    std::vector<int> initIndices() const {
        std::lock_guard lock(mutex_);
        return initIndices_;
    }
    void parkAt(int call) {
        std::lock_guard lock(parkMutex_);
        parkAt_ = call;
    }
    // Waits until the parked call is reached; false after `timeout`.
    bool waitParked(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(parkMutex_);
        return parkChanged_.wait_for(lock, timeout, [this] { return parked_; });
    }
    void release() {
        std::lock_guard lock(parkMutex_);
        parkAt_ = -1;
        parked_ = false;
        parkChanged_.notify_all();
    }

    static std::unique_ptr<CapturedFrame> frame(std::vector<DirtyRect> dirty = {{0, 0, 2, 2}}) {
        auto f = std::make_unique<CapturedFrame>();
        f->width = 4;
        f->height = 4;
        f->stride = 16;
        f->pixels.assign(64, 0x80);
        f->dirtyRects = std::move(dirty);
        return f;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> initIndices_;
    std::atomic<int> index_{0};
    std::atomic<bool> initialized_{true};
    std::atomic<int> calls_{0};
    std::mutex parkMutex_;
    std::condition_variable parkChanged_;
    int parkAt_ = -1;
    bool parked_ = false;
};

// Polls `condition` until it holds or `timeout` passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

}  // namespace veltrix::test
