#include "transport/TransportFactory.h"

#include "transport/RelayTransport.h"

namespace veltrix {

TransportFactory TransportFactory::standard() {
    TransportFactory factory;
    // The peer-to-peer transport plugs in here; until then the manager goes to the relay.
    factory.createP2P = []() -> IP2PTransport* { return nullptr; };
    factory.createRelay = []() -> IRelayTransport* { return new RelayTransport; };
    return factory;
}

}  // namespace veltrix
