#pragma once

#include <cstdint>

namespace veltrix {

// Once-a-second statistics of a session, as shown by the client and carried by STATS.
struct ConnectionStats {
    double fps = 0.0;
    double latency_ms = 0.0;
    double bandwidth_kbps = 0.0;
    std::uint64_t total_bytes_sent = 0;
    std::uint64_t total_bytes_received = 0;
    std::uint64_t dropped_frames = 0;
    std::uint64_t uptime_seconds = 0;
};

}  // namespace veltrix
