#pragma once

#include <cstdint>
#include <string>

namespace veltrix {

// TURN settings of the peer-to-peer transport. A TURN server is offered to ICE only with a
// non-empty password.
struct TurnServerConfig {
    std::string host;
    std::uint32_t port = 5349;  // unsigned 16-bit held as 32-bit
    std::string username = "veltrix";
    std::string password;
};

}  // namespace veltrix
