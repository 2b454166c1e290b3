#include "shared/SessionTypes.h"

#include <array>

namespace veltrix {
namespace {

constexpr std::array<std::string_view, 7> kStateNames = {
    "Idle", "Initiating", "Handshaking", "Connecting", "Connected", "Closing", "Failed",
};

}  // namespace

std::string_view sessionStateName(SessionState state) {
    const auto index = static_cast<std::size_t>(state);
    return index < kStateNames.size() ? kStateNames[index] : std::string_view("Unknown");
}

SessionState sessionStateFromName(std::string_view name) {
    for (std::size_t i = 0; i < kStateNames.size(); ++i) {
        if (kStateNames[i] == name) return static_cast<SessionState>(i);
    }
    return SessionState::Idle;
}

std::string_view sessionRoleName(SessionRole role) {
    switch (role) {
    case SessionRole::Master: return "master";
    case SessionRole::Target: return "target";
    default: return "none";
    }
}

SessionRole sessionRoleFromName(std::string_view name) {
    if (name == "master") return SessionRole::Master;
    if (name == "target") return SessionRole::Target;
    return SessionRole::None;
}

}  // namespace veltrix
