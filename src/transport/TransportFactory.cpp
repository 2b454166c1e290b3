#include "transport/TransportFactory.h"

#include "transport/P2PTransport.h"
#include "transport/RelayTransport.h"

namespace veltrix {

TransportFactory TransportFactory::standard() {
    TransportFactory factory;
    factory.createP2P = []() -> IP2PTransport* { return new P2PTransport; };
    factory.createRelay = []() -> IRelayTransport* { return new RelayTransport; };
    return factory;
}

}  // namespace veltrix
