#pragma once

#include <cstdint>

namespace veltrix {

// The first byte of a decrypted control-channel message.
enum ControlMessageType : std::uint8_t {
    MSG_INPUT_EVENT = 1,
    MSG_KEY_FRAME_REQUEST = 2,
    MSG_SESSION_COMMAND = 3,
    MSG_CLIPBOARD_TEXT = 4,
    MSG_FILE_TRANSFER = 5,
    MSG_CHAT = 6,
    MSG_CLIPBOARD_FILES = 7,
};

}  // namespace veltrix
