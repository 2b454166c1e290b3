#include "shared/InputEvent.h"

#include <bit>
#include <cmath>
#include <stdexcept>
#include <string>

namespace veltrix {
namespace {

bool isMouseType(std::uint8_t type) { return type >= InputEvent::MouseMove && type <= InputEvent::MouseWheel; }
bool isKeyType(std::uint8_t type) { return type == InputEvent::KeyDown || type == InputEvent::KeyUp; }

template <typename T>
void putLe(std::vector<std::uint8_t>& out, T value) {
    using U = std::make_unsigned_t<T>;
    const U bits = static_cast<U>(value);
    for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

void putDouble(std::vector<std::uint8_t>& out, double value) { putLe(out, std::bit_cast<std::uint64_t>(value)); }

template <typename T>
T getLe(const std::uint8_t* in) {
    using U = std::make_unsigned_t<T>;
    U bits = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<U>(U{in[i]} << (8 * i));
    return static_cast<T>(bits);
}

double getDouble(const std::uint8_t* in) { return std::bit_cast<double>(getLe<std::uint64_t>(in)); }

}  // namespace

std::vector<std::uint8_t> InputEvent::serialize() const {
    const bool mouse = isMouseType(type);
    if (!mouse && !isKeyType(type))
        throw std::runtime_error("InputEvent::serialize: unknown event type " + std::to_string(type));

    std::vector<std::uint8_t> out;
    out.reserve(mouse ? kMouseEventSize : kKeyEventSize);
    out.push_back(type);
    putLe(out, timestamp_ms);
    if (mouse) {
        putDouble(out, mouse_x);
        putDouble(out, mouse_y);
        out.push_back(mouse_button);
        putLe(out, wheel_delta);
    } else {
        putLe(out, vk_code);
        putLe(out, scan_code);
        out.push_back(extended ? 1 : 0);
    }
    return out;
}

InputEvent InputEvent::deserialize(const std::uint8_t* data, std::size_t size) {
    if (data == nullptr || size < kHeaderSize)
        throw std::runtime_error("InputEvent::deserialize: buffer too small for header");

    InputEvent event;
    event.type = data[0];
    event.timestamp_ms = getLe<std::int64_t>(data + 1);

    if (isMouseType(event.type)) {
        if (size < kMouseEventSize)
            throw std::runtime_error("InputEvent::deserialize: buffer too small for mouse event (" +
                                     std::to_string(size) + " < " + std::to_string(kMouseEventSize) + ")");
        event.mouse_x = getDouble(data + 9);
        event.mouse_y = getDouble(data + 17);
        // Clamping to the frame later would keep a NaN as NaN; refuse it here.
        if (!std::isfinite(event.mouse_x) || !std::isfinite(event.mouse_y))
            throw std::runtime_error("InputEvent::deserialize: mouse coordinates are not finite");
        event.mouse_button = data[25];
        event.wheel_delta = getLe<std::int16_t>(data + 26);
    } else if (isKeyType(event.type)) {
        if (size < kKeyEventSize)
            throw std::runtime_error("InputEvent::deserialize: buffer too small for key event (" +
                                     std::to_string(size) + " < " + std::to_string(kKeyEventSize) + ")");
        event.vk_code = getLe<std::uint32_t>(data + 9);
        event.scan_code = getLe<std::uint32_t>(data + 13);
        event.extended = data[17] != 0;
    } else {
        throw std::runtime_error("InputEvent::deserialize: unknown event type " + std::to_string(event.type));
    }
    return event;
}

}  // namespace veltrix
