#pragma once

#include "transport/IceTransport.h"
#include "transport/TurnServerConfig.h"

namespace veltrix {

// The ICE servers and candidate rules of the peer-to-peer transport, from the instance
// configuration, so a test instance never reaches outside the machine:
//   stun/host              STUN server, the same one the heartbeat's NAT probe asks; present
//                          but empty: no STUN server
//   stun/secondary_host    a second STUN server (only with stun/host)
//   stun/port              the STUN servers' port (19302)
//   turn/host, turn/port   the deployment's TURN relay (TURN over TLS), the default until the
//                          transport manager sets its own; used only once a password is set
//   p2p/localAddresses     addresses ICE gathers from, separated by blanks (e.g. 127.0.0.1)
//   p2p/iceTransportPolicy "relay" offers only TURN relay candidates
namespace p2p {

inline constexpr int kDefaultStunPort = 19302;

// A port from the instance configuration; `fallback` when absent or not a port number.
int portFromConfig(const char* key, int fallback);
// STUN, candidate rules and `turn` as the instance configuration has them.
IceTransport::Settings iceSettingsFromConfig(const TurnServerConfig& turn);

}  // namespace p2p
}  // namespace veltrix
