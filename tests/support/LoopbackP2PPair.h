#pragma once

#include <chrono>

#include "support/WaitUntil.h"
#include "transport/P2PTransport.h"

// Header-only: its users link veltrix_transport themselves.
namespace veltrix::test {

// Connects two peer-to-peer transports in this process the way signaling would (descriptions and
// candidates of one go straight to the other) and waits until both are connected. The instance's
// [p2p] settings decide the candidates (loopback only in tests).
inline bool connectLoopbackP2PPair(P2PTransport& offerer, P2PTransport& answerer, std::chrono::milliseconds limit) {
    for (auto [from, to] : {std::pair{&offerer, &answerer}, std::pair{&answerer, &offerer}}) {
        QObject::connect(from, &IP2PTransport::localDescriptionReady, to, &IP2PTransport::setRemoteDescription);
        QObject::connect(from, &IP2PTransport::localCandidateReady, to, &IP2PTransport::addRemoteCandidate);
    }
    answerer.startAsAnswerer();
    offerer.startAsOfferer();
    return waitUntil([&] { return offerer.isConnected() && answerer.isConnected(); }, limit);
}

}  // namespace veltrix::test
