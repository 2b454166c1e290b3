#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrix {

// One mouse or keyboard event of the viewer, replayed on the target. Coordinates are fractions
// (0..1) of the remote frame.
//
// On the session's control channel an event travels in a packed little-endian form of fixed
// length: type (u8), timestamp_ms (i64), then for mouse events (types 1-4, 28 bytes in all)
// mouse_x, mouse_y (IEEE 754 doubles), mouse_button (u8), wheel_delta (i16), and for key events
// (types 5-6, 18 bytes in all) vk_code, scan_code (u32) and extended (u8, 0 or 1).
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

    static constexpr std::size_t kHeaderSize = 9;
    static constexpr std::size_t kMouseEventSize = 28;
    static constexpr std::size_t kKeyEventSize = 18;

    // The binary form; throws std::runtime_error for a type outside 1-6.
    std::vector<std::uint8_t> serialize() const;

    // Reads the event from the first 28 (mouse) or 18 (key) of `size` bytes; anything after them
    // is ignored. Throws std::runtime_error for a short buffer, an unknown type or mouse
    // coordinates that are not finite numbers.
    static InputEvent deserialize(const std::uint8_t* data, std::size_t size);
};

}  // namespace veltrix
