#pragma once

#include <cstdint>
#include <vector>

namespace veltrix {

// One NV12 picture: the luma plane followed by the interleaved chroma plane (U, V, U, V ...).
struct DecodedFrame {
    std::vector<std::uint8_t> y;   // height rows of strideY bytes
    std::vector<std::uint8_t> uv;  // height / 2 rows of strideUV bytes
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t strideY = 0;
    std::int32_t strideUV = 0;
    std::int64_t timestamp = 0;
};

}  // namespace veltrix
