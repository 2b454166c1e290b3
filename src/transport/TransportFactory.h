#pragma once

#include <functional>

namespace veltrix {

class IP2PTransport;
class IRelayTransport;

// How the transport manager makes its transports. The session manager uses standard(); tests put
// in fakes. A function may return null when it cannot make a transport.
struct TransportFactory {
    std::function<IP2PTransport*()> createP2P;
    std::function<IRelayTransport*()> createRelay;

    // The real transports of this system.
    static TransportFactory standard();
};

}  // namespace veltrix
