#pragma once

#include <cstdint>
#include <string_view>

namespace veltrix {

// State of the one session a device runs at a time; the session manager owns it and the pipe
// carries it by name.
enum class SessionState : std::uint8_t {
    Idle = 0,
    Initiating = 1,
    Handshaking = 2,
    Connecting = 3,
    Connected = 4,
    Closing = 5,
    Failed = 6,
};

// Master views and controls; Target shares its desktop.
enum class SessionRole : std::uint8_t {
    None = 0,
    Master = 1,
    Target = 2,
};

// "Idle" ... "Failed"; a value outside the enumeration is "Unknown".
std::string_view sessionStateName(SessionState state);

// The reverse of sessionStateName; a name it does not know (and "Unknown") reads as Idle.
SessionState sessionStateFromName(std::string_view name);

// "master", "target"; anything else "none".
std::string_view sessionRoleName(SessionRole role);

// The reverse of sessionRoleName; anything else reads as None.
SessionRole sessionRoleFromName(std::string_view name);

}  // namespace veltrix
