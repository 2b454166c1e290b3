#include "gui/ConnectionQualityMonitor.h"
#include "gui/SteadyClock.h"

#include <spdlog/spdlog.h>

namespace veltrix {
ConnectionQualityMonitor::ConnectionQualityMonitor(QObject* parent, Clock clock)
    : QObject(parent), clock_(clock ? std::move(clock) : Clock(steadyMilliseconds)) {
    timer_.setInterval(kTickIntervalMs);
    connect(&timer_, &QTimer::timeout, this, &ConnectionQualityMonitor::onUpdateTick);
}

void ConnectionQualityMonitor::resetCounters() {
    std::lock_guard lock(mutex_);
    intervalFrames_ = 0;
    intervalBytesSent_ = 0;
    intervalBytesReceived_ = 0;
    totalBytesSent_ = 0;
    totalBytesReceived_ = 0;
    droppedFrames_ = 0;
    latencyMs_ = 0.0;
    published_ = {};
}

void ConnectionQualityMonitor::start() {
    spdlog::info("Connection quality monitor started");
    resetCounters();
    startedAtMs_ = clock_();
    timer_.start(kTickIntervalMs);
}

void ConnectionQualityMonitor::stop() {
    timer_.stop();
    resetCounters();
    spdlog::info("Connection quality monitor stopped");
}

void ConnectionQualityMonitor::recordFrame() {
    std::lock_guard lock(mutex_);
    ++intervalFrames_;
}

ConnectionStats ConnectionQualityMonitor::lastStats() const {
    std::lock_guard lock(mutex_);
    return published_;
}

QualityLevel ConnectionQualityMonitor::judge(const ConnectionStats& stats) {
    if (stats.fps >= 8.0 && stats.latency_ms < 100.0) return QualityLevel::Good;
    if (stats.fps >= 4.0 && stats.latency_ms < 300.0) return QualityLevel::Fair;
    return QualityLevel::Poor;
}

void ConnectionQualityMonitor::onUpdateTick() {
    ConnectionStats stats;
    {
        std::lock_guard lock(mutex_);
        // The tick interval is one second, so the interval's count is the rate.
        stats.fps = static_cast<double>(intervalFrames_);
        stats.latency_ms = latencyMs_;
        stats.bandwidth_kbps = static_cast<double>(intervalBytesSent_ + intervalBytesReceived_) * 8.0 / 1000.0;
        stats.total_bytes_sent = totalBytesSent_;
        stats.total_bytes_received = totalBytesReceived_;
        stats.dropped_frames = droppedFrames_;
        const std::int64_t elapsed = clock_() - startedAtMs_;
        stats.uptime_seconds = elapsed > 0 ? static_cast<std::uint64_t>(elapsed / 1000) : 0;
        intervalFrames_ = 0;
        intervalBytesSent_ = 0;
        intervalBytesReceived_ = 0;
        published_ = stats;
    }
    spdlog::trace("Connection stats: FPS={:.0f}, latency={:.1f}ms, bw={:.1f}kbps", stats.fps, stats.latency_ms,
                  stats.bandwidth_kbps);
    const QualityLevel level = judge(stats);
    if (level != lastLevel_) {
        lastLevel_ = level;
        emit qualityChanged(level);
    }
    emit statsUpdated(stats);
}

}  // namespace veltrix
