#pragma once

#include "shared/InputEvent.h"
#include "shared/JsonFields.h"

// The JSON form of an input event, as the "event" object of the pipe's INPUT and INPUT_INJECT
// messages. Both programs write and read it through these two functions, so the keys live in
// one place.
namespace veltrix {

// {"type","timestamp_ms","mouse_x","mouse_y","mouse_button","wheel_delta","vk_code","scan_code",
// "extended"} with the field values.
json::Json inputEventToJson(const InputEvent& event);

// Reads each key with its default when missing or of another kind (type 0, button 1, everything
// else 0 or false); numbers are read wide and clamped to the field's range.
InputEvent inputEventFromJson(const json::Json& object);

}  // namespace veltrix
