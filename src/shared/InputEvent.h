#pragma once

#include <cstdint>

namespace veltrix {

// One mouse or keyboard event of the viewer, replayed on the target. Coordinates are fractions
// (0..1) of the remote frame.
struct InputEvent {
    enum Type : std::uint8_t {
        MouseMove = 1,
        MouseDown = 2,
        MouseUp = 3,
        MouseWheel = 4,
        KeyDown = 5,
        KeyUp = 6,
    };

    std::uint8_t type = 0;
    std::int64_t timestamp_ms = 0;
    double mouse_x = 0.0;
    double mouse_y = 0.0;
    std::uint8_t mouse_button = 1;  // 1 left, 2 right, 3 middle, 4 back, 5 forward
    std::int16_t wheel_delta = 0;
    std::uint32_t vk_code = 0;
    std::uint32_t scan_code = 0;
    bool extended = false;
};

}  // namespace veltrix
