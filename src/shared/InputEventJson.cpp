#include "shared/InputEventJson.h"

namespace veltrix {

json::Json inputEventToJson(const InputEvent& event) {
    return json::Json{
        {"type", event.type},
        {"timestamp_ms", event.timestamp_ms},
        {"mouse_x", event.mouse_x},
        {"mouse_y", event.mouse_y},
        {"mouse_button", event.mouse_button},
        {"wheel_delta", event.wheel_delta},
        {"vk_code", event.vk_code},
        {"scan_code", event.scan_code},
        {"extended", event.extended},
    };
}

InputEvent inputEventFromJson(const json::Json& object) {
    InputEvent event;
    event.type = json::intOr<std::uint8_t>(object, "type", 0);
    event.timestamp_ms = json::int64Or(object, "timestamp_ms", 0);
    event.mouse_x = json::doubleOr(object, "mouse_x", 0.0);
    event.mouse_y = json::doubleOr(object, "mouse_y", 0.0);
    event.mouse_button = json::intOr<std::uint8_t>(object, "mouse_button", 1);
    event.wheel_delta = json::intOr<std::int16_t>(object, "wheel_delta", 0);
    event.vk_code = json::intOr<std::uint32_t>(object, "vk_code", 0);
    event.scan_code = json::intOr<std::uint32_t>(object, "scan_code", 0);
    event.extended = json::boolOr(object, "extended", false);
    return event;
}

}  // namespace veltrix
