#pragma once

#include <cstdint>
#include <vector>

namespace veltrix {

// One AV1 packet (temporal unit) from the encoder.
struct EncodedFrame {
    std::vector<std::uint8_t> data;
    std::int64_t timestamp = 0;  // the source frame's timestamp (ms)
    bool keyFrame = false;
    std::int64_t pts = 0;  // the encoder's frame counter at submission
};

}  // namespace veltrix
