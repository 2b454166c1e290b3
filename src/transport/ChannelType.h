#pragma once

#include <cstdint>

namespace veltrix {

// The two channels of a session transport: data channels "control" and "video" peer to peer, the
// same byte in the relay framing.
enum class ChannelType : std::uint8_t {
    Control = 0,
    Video = 1,
};

}  // namespace veltrix
