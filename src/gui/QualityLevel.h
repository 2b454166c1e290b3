#pragma once

#include <cstdint>

namespace veltrix {

// The connection quality judged from the statistics.
enum class QualityLevel : std::uint8_t {
    Good = 0,
    Fair = 1,
    Poor = 2,
};

}  // namespace veltrix
