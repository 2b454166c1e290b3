#pragma once

#include <cstdint>
#include <vector>

namespace veltrix {

// One changed region of a captured frame, in frame pixels.
struct DirtyRect {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
};

// One capture: top-down 32-bit BGRA pixels. Shared by pointer from the capture thread.
struct CapturedFrame {
    std::vector<std::uint8_t> pixels;  // height x stride bytes
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t stride = 0;  // always width x 4
    std::int64_t timestampMs = 0;  // steady clock
    bool fullFrame = false;        // a key frame was requested for this frame
    std::vector<DirtyRect> dirtyRects;
};

}  // namespace veltrix
