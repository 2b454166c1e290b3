#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>

#include "gui/QualityLevel.h"
#include "shared/ConnectionStats.h"

namespace veltrix {

// Turns per-frame events into once-a-second connection statistics and a three-step quality
// level. The main window starts it when a session becomes active, records each displayed frame
// and stops it when the session ends. The counters are mutex-guarded so a frame may be recorded
// from any thread; signals are emitted on the monitor's thread after the mutex is released.
class ConnectionQualityMonitor : public QObject {
    Q_OBJECT
public:
    static constexpr int kTickIntervalMs = 1000;

    // A steady clock in milliseconds (tests pass their own).
    using Clock = std::function<std::int64_t()>;

    explicit ConnectionQualityMonitor(QObject* parent = nullptr, Clock clock = {});

    void start();
    void stop();
    bool isRunning() const { return timer_.isActive(); }
    void recordFrame();

    // The level a second of statistics earns: Good from 8 fps under 100 ms, Fair from 4 fps
    // under 300 ms, else Poor.
    static QualityLevel judge(const ConnectionStats& stats);

    QualityLevel lastLevel() const { return lastLevel_; }
    ConnectionStats lastStats() const;

public slots:
    void onUpdateTick();

signals:
    void statsUpdated(veltrix::ConnectionStats stats);
    void qualityChanged(veltrix::QualityLevel level);

private:
    void resetCounters();

    QTimer timer_;
    Clock clock_;
    std::int64_t startedAtMs_ = 0;

    mutable std::mutex mutex_;
    std::int64_t intervalFrames_ = 0;
    std::int64_t intervalBytesSent_ = 0;
    std::int64_t intervalBytesReceived_ = 0;
    std::uint64_t totalBytesSent_ = 0;
    std::uint64_t totalBytesReceived_ = 0;
    std::uint64_t droppedFrames_ = 0;
    double latencyMs_ = 0.0;
    ConnectionStats published_;

    // Kept across stop and start: a session that begins as the last one ended emits no change.
    QualityLevel lastLevel_ = QualityLevel::Good;
};

}  // namespace veltrix
