#include <gtest/gtest.h>

#include <QSignalSpy>

#include <cstdint>
#include <thread>
#include <vector>

#include "gui/ConnectionQualityMonitor.h"
#include "support/LogCapture.h"

namespace veltrix {
namespace {

class ConnectionQualityMonitorTest : public ::testing::Test {
protected:
    void record(int frames) {
        for (int i = 0; i < frames; ++i) monitor.recordFrame();
    }

    test::LogCapture logs;
    std::int64_t nowMs = 50000;
    ConnectionQualityMonitor monitor{nullptr, [this] { return nowMs; }};
    QSignalSpy stats{&monitor, &ConnectionQualityMonitor::statsUpdated};
    QSignalSpy levels{&monitor, &ConnectionQualityMonitor::qualityChanged};

    ConnectionStats lastStats() const { return stats.last().at(0).value<ConnectionStats>(); }
};

TEST_F(ConnectionQualityMonitorTest, TheFrameRateJudgesTheLevel) {
    struct Case {
        int frames;
        QualityLevel level;
    };
    for (const Case c : {Case{30, QualityLevel::Good}, Case{8, QualityLevel::Good}, Case{5, QualityLevel::Fair},
                         Case{4, QualityLevel::Fair}, Case{3, QualityLevel::Poor}, Case{0, QualityLevel::Poor}}) {
        SCOPED_TRACE(c.frames);
        record(c.frames);
        monitor.onUpdateTick();
        const ConnectionStats s = lastStats();
        EXPECT_EQ(s.fps, c.frames);
        EXPECT_EQ(s.bandwidth_kbps, 0.0);
        EXPECT_EQ(s.latency_ms, 0.0);
        EXPECT_EQ(s.total_bytes_sent, 0u);
        EXPECT_EQ(s.total_bytes_received, 0u);
        EXPECT_EQ(s.dropped_frames, 0u);
        EXPECT_EQ(monitor.lastLevel(), c.level);
    }
}

TEST_F(ConnectionQualityMonitorTest, LatencyBoundsTheLevel) {
    ConnectionStats s;
    s.fps = 30;
    s.latency_ms = 99.9;
    EXPECT_EQ(ConnectionQualityMonitor::judge(s), QualityLevel::Good);
    s.latency_ms = 100;
    EXPECT_EQ(ConnectionQualityMonitor::judge(s), QualityLevel::Fair);
    s.latency_ms = 300;
    EXPECT_EQ(ConnectionQualityMonitor::judge(s), QualityLevel::Poor);
}

TEST_F(ConnectionQualityMonitorTest, TheLevelIsSignalledOnChangeOnly) {
    monitor.start();
    record(30);
    monitor.onUpdateTick();
    EXPECT_EQ(levels.count(), 0) << "Good after construction";
    monitor.onUpdateTick();
    ASSERT_EQ(levels.count(), 1);
    EXPECT_EQ(levels.last().at(0).value<QualityLevel>(), QualityLevel::Poor);
    monitor.onUpdateTick();
    monitor.onUpdateTick();
    EXPECT_EQ(levels.count(), 1);
    EXPECT_EQ(stats.count(), 4) << "statistics on every tick";
}

TEST_F(ConnectionQualityMonitorTest, RestartCountsUptimeFromZeroAndKeepsTheLevel) {
    monitor.start();
    nowMs += 2500;
    monitor.onUpdateTick();
    EXPECT_EQ(lastStats().uptime_seconds, 2u);
    EXPECT_EQ(levels.count(), 1);  // to Poor
    record(10);
    monitor.stop();
    EXPECT_FALSE(monitor.isRunning());
    monitor.start();
    EXPECT_TRUE(monitor.isRunning());
    nowMs += 999;
    monitor.onUpdateTick();
    EXPECT_EQ(lastStats().uptime_seconds, 0u);
    EXPECT_EQ(lastStats().fps, 0.0) << "stop cleared the frames";
    EXPECT_EQ(levels.count(), 1) << "a session that starts Poor after a Poor one emits nothing";
    EXPECT_TRUE(logs.contains("Connection quality monitor started"));
    EXPECT_TRUE(logs.contains("Connection quality monitor stopped"));
}

TEST_F(ConnectionQualityMonitorTest, FramesFromOtherThreadsAreAllCounted) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back([this] { record(1000); });
    for (auto& thread : threads) thread.join();
    monitor.onUpdateTick();
    EXPECT_EQ(lastStats().fps, 4000);
}

}  // namespace
}  // namespace veltrix
