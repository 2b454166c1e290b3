#pragma once

// What every benchmark's figures are made of: elapsed times, percentiles and the machine's load.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace veltrix::bench {

using Clock = std::chrono::steady_clock;

inline double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The steady clock in milliseconds since its epoch, as the programs stamp their frames.
inline double steadyMilliseconds(Clock::time_point at) {
    return std::chrono::duration<double, std::milli>(at.time_since_epoch()).count();
}

// The value below which `fraction` of `values` lie (0.5 the median, 1.0 the largest); -1 for none.
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty()) return -1;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(fraction * static_cast<double>(values.size())))];
}

// The one-minute load average and the number of processors: the figures depend on both.
inline std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string oneMinute;
    file >> oneMinute;
    return oneMinute + " on " + std::to_string(std::thread::hardware_concurrency()) + " processors";
}

}  // namespace veltrix::bench
